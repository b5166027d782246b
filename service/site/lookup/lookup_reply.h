// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_snapshot.h"

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

class NumberLookup;
struct LookupOutcome;
enum class Verdict;

// Most characters of the caller's input that a reply repeats back.
inline constexpr size_t kMaxQuotedCharacters = 32;

// The text reply fits the window's result box: at most this many lines of at most this many
// columns, where a Chinese character takes two.
inline constexpr size_t kMaxReplyLines = 3;
inline constexpr size_t kMaxLineColumns = 34;

// The carrier as people are shown it: "中国联通", "中国联通（虚拟运营商）", "虚拟运营商" where the
// host carrier is unknown; empty when there is none.
std::u16string carrierLabel(const LookupOutcome &outcome);

// What the service covers, said to numbers of other regions instead of calling them foreign.
inline constexpr std::u16string_view kCoverage = u"本服务查询中国大陆号码的归属地";

// The sentence that says what is wrong with an unusable title and what to type instead, quoting
// at most kMaxQuotedCharacters of it, with '?' for whatever strict GBK cannot carry; empty for a
// number found.
std::u16string problemMessage(Verdict verdict, std::u16string_view title);

// What the JSON and the page say about an outcome beside its facts: the problem sentence, or what
// the service covers for another region's number; empty for a number found.
std::u16string outcomeMessage(const LookupOutcome &outcome, std::u16string_view title);
// The stable codes of those sentences, for programs ("letters_in_number"); empty where the
// sentence is.
const char *verdictCode(Verdict verdict);
const char *outcomeMessageCode(const LookupOutcome &outcome);

// The reply text for an outcome: at most kMaxReplyLines lines of at most kMaxLineColumns, CRLF
// between them and no line break at the end. A number found gives 号码 with its kind, 归属地,
// then its carrier and area code, its area code, or what a service number is for. Anything else
// gives the problem sentence, its quote shortened until the sentence fits. A labelled number
// gives the label first, then 号码, then 归属地 with as much of the rest as fits:
//   【骚扰电话】12人标记 2026-12-07
//   号码：138 0013 8000 手机号码
//   归属地：北京市 中国移动 区号：010
std::u16string buildReply(const LookupOutcome &outcome, std::u16string_view title,
                          const std::optional<ShownLabel> &label = std::nullopt);

// buildReply's text in GBK, byte for byte what encodeGbk makes of it; the answer most lookups
// get is written from its parts, without building the text first.
std::string buildReplyGbk(const LookupOutcome &outcome, std::u16string_view title,
                          const std::optional<ShownLabel> &label = std::nullopt);

// The label's line in the reply: 【category】N人标记 date, 【有争议】N人标记 date, or for an
// imported list 【category】source; at most kMaxLineColumns.
std::u16string labelLine(const ShownLabel &label);

}  // namespace zuno::service
