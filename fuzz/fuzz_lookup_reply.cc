// libFuzzer target: any raw title value through decoding, normalisation, lookup and the GBK
// reply, checking what every reply must hold.
#include "gbk_codec.h"
#include "lookup_reply.h"
#include "number_lookup.h"
#include "number_normaliser.h"
#include "title_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace zuno::service;

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

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
    require(normalised.national.size() <= 12, "national number has at most 12 digits");
    require(normalised.problem == InputProblem::None || normalised.national.empty(),
            "a problem leaves no number");

    const LookupOutcome outcome = lookup.lookup(title);
    require(outcome.verdict != Verdict::Found || normalised.problem == InputProblem::None,
            "nothing is found for input with a problem");

    const std::u16string reply = buildReply(outcome, title);
    require(reply.size() > 9, "reply longer than 9 characters");
    require(reply.ends_with(u"\r\n"), "reply ends with CRLF");
    require(count(reply, u"\n") == count(reply, u"\r\n"), "every line ends with CRLF");
    const bool found = outcome.verdict == Verdict::Found;
    require(count(reply, u"\r\n") == (found ? 3U : 1U), "three lines found, one sentence else");
    require(found == (reply.find(u"归属地") != std::u16string::npos),
            "a place only for a number found");

    const std::string body = encodeGbk(reply);
    const std::u16string back = decodeGbk(body);
    require(count(back, u"\r\n") == count(reply, u"\r\n"), "GBK keeps the lines");
    require(back.find(u'\uFFFD') == std::u16string::npos ||
                reply.find(u'\uFFFD') != std::u16string::npos,
            "the GBK body decodes cleanly");
    return 0;
}
