// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: any raw title value through decoding, normalisation, lookup and the GBK
// reply, checking what every reply must hold.
#include "fuzz_checks.h"
#include "http/query.h"
#include "number/number_lookup.h"
#include "number/number_normaliser.h"
#include "number/service_numbers.h"
#include "site/lookup/lookup_reply.h"
#include "text/gbk_codec.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace zuno::service;

using zuno::fuzz::require;

size_t count(std::u16string_view text, std::u16string_view part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::u16string_view::npos;
         at = text.find(part, at + part.size()))
        ++found;
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const NumberLookup lookup;
    const std::string_view raw(reinterpret_cast<const char *>(data), size);

    const std::u16string title = decodeTitle(raw);
    const NormalisedNumber normalised = normaliseNumber(title);
    require(std::all_of(normalised.national.begin(), normalised.national.end(),
                        [](char c) { return c >= '0' && c <= '9'; }),
            "national number holds only ASCII digits");
    require(normalised.national.size() <= 12 || isSmsPort(normalised.national),
            "national number has at most 12 digits, an SMS port's at most 20");
    require(normalised.verdict == Verdict::Found || normalised.national.empty(),
            "a problem leaves no number");

    const LookupOutcome outcome = lookup.lookup(title);
    require(outcome.verdict != Verdict::Found || normalised.verdict == Verdict::Found ||
                outcome.form == QueryForm::PlaceName || !outcome.extension.empty(),
            "nothing but a place's name or a number with its extension is found for input "
            "that is no number");

    const std::u16string reply = buildReply(outcome, title);
    require(reply.size() > 9, "reply longer than 9 characters");
    require(!reply.ends_with(u"\n"), "no line break at the end");
    require(count(reply, u"\n") == count(reply, u"\r\n"), "lines end with CRLF");
    require(count(reply, u"\r\n") < kMaxReplyLines, "at most three lines");
    const bool placed = outcome.verdict == Verdict::Found ||
        (outcome.verdict == Verdict::OutsideMainland && !outcome.place.empty());
    if (outcome.form == QueryForm::BlockPrefix)
        require(reply.find(u"运营商：") != std::u16string::npos,
                "a block's first digits answer their operator");
    else if (outcome.form == QueryForm::PlaceName)
        require(reply.find(u"区号：") != std::u16string::npos, "a place's name answers its code");
    else
        require(placed == (reply.find(u"归属地") != std::u16string::npos),
                "a place only for a number, a block or a code found, or another region's");

    // GBK gives a column one byte and a Chinese character two, and strict decoders reject 0x80
    // and the user-defined areas.
    const std::string body = encodeGbk(reply);
    size_t column = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        const auto byte = static_cast<unsigned char>(body[i]);
        if (byte == '\r' || byte == '\n') {
            column = 0;
            continue;
        }
        require(byte >= 0x20, "no control characters");
        if (byte >= 0x80) {
            require(byte >= 0x81 && byte <= 0xFE && i + 1 < body.size(), "a GBK lead byte");
            const auto trail = static_cast<unsigned char>(body[++i]);
            require(trail >= 0x40 && trail <= 0xFE && trail != 0x7F, "a GBK trail byte");
            column += 2;
        } else {
            ++column;
        }
        require(column <= kMaxLineColumns, "at most 34 columns a line");
    }
    const std::u16string back = decodeGbk(body);
    require(back == reply, "the reply survives GBK unchanged");
    require(std::none_of(back.begin(), back.end(),
                         [](char16_t c) { return c >= 0xE000 && c <= 0xF8FF; }),
            "no private-use characters");
    return 0;
}
