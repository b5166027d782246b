#pragma once

#include <string>
#include <string_view>

namespace zuno::service {

class NumberLookup;
struct LookupOutcome;
enum class Verdict;

// Most characters of the caller's input that a reply repeats back.
inline constexpr size_t kMaxQuotedCharacters = 32;

// The sentence that says what is wrong with an unusable title and what to type instead,
// quoting at most kMaxQuotedCharacters of it; empty for a number found.
std::u16string problemMessage(Verdict verdict, std::u16string_view title);

// The reply text for an outcome, each line ending in CRLF. A number found gives three lines:
// 号码, 归属地 and 类型. Anything else gives one sentence that says what was wrong and what to
// type, quoting at most kMaxQuotedCharacters of the title.
std::u16string buildReply(const LookupOutcome &outcome, std::u16string_view title);

// The whole lookup for the raw value of the title query parameter: decoded, looked up and
// answered in GBK.
std::string lookupReplyBody(const NumberLookup &lookup, std::string_view rawTitle);

}  // namespace zuno::service
