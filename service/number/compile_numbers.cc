// SPDX-License-Identifier: Apache-2.0
// zuno-compile-numbers OUTPUT: writes the table of mainland mobile blocks (CompiledNumbers) that
// builtinNumbers() compiles in, as libphonenumber and the carrier table answer each block, and
// checks that the table answers as they do before writing it.
#include "number/compiled_numbers.h"
#include "number/number_lookup.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using namespace zuno::service;

constexpr std::uint32_t kFirstBlock = 1300000;
constexpr std::uint32_t kLastBlock = 1999999;
// The numbers of a block asked about: a block whose answers differ among them is left out.
constexpr const char *kSuffixes[] = {"0000", "5555", "9999", "1357", "8642"};

std::u16string ascii(const std::string &text) { return {text.begin(), text.end()}; }

std::string cLiteral(std::u16string_view text)
{
    std::string out = "u\"";
    for (const char16_t c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
        out += c < 0x80 && c != u'"' && c != u'\\' && c >= 0x20 ? std::string(1, char(c))
                                                                 : std::string(escaped);
    }
    return out + "\"";
}

class Builder
{
public:
    std::uint16_t text(const std::u16string &value)
    {
        const auto [at, added] = textIndex_.try_emplace(value, views_.size());
        if (added)
            views_.push_back(at->first);
        return static_cast<std::uint16_t>(at->second);
    }
    std::uint16_t answer(const LookupOutcome &outcome)
    {
        CompiledAnswer answer{outcome.verdict == Verdict::Found, outcome.virtualOperator,
                              text(outcome.kind),  text(outcome.place),
                              text(outcome.areaCode), text(outcome.carrier)};
        const auto key = std::make_tuple(answer.found, answer.virtualOperator, answer.kind,
                                         answer.place, answer.areaCode, answer.carrier);
        const auto [at, added] = answerIndex_.try_emplace(key, answers_.size());
        if (added && answers_.size() + 1 >= CompiledNumbers::kNotCompiled)
            throw std::runtime_error("more answers than a range row can name");
        if (added)
            answers_.push_back(answer);
        return static_cast<std::uint16_t>(at->second);
    }

    std::vector<std::u16string_view> views_{u""};  // of textIndex_'s keys, which stay put
    std::vector<CompiledAnswer> answers_;

private:
    std::map<std::u16string, size_t> textIndex_{{u"", 0}};
    std::map<std::tuple<bool, bool, int, int, int, int>, size_t> answerIndex_;
};

std::vector<CompiledRange> rangesOf(const std::vector<std::uint16_t> &byBlock)
{
    std::vector<CompiledRange> ranges;
    for (std::uint32_t i = 0; i < byBlock.size(); ++i)
        if (ranges.empty() || ranges.back().answer != byBlock[i])
            ranges.push_back({kFirstBlock + i, byBlock[i] & 0x7FFu});
    ranges.push_back({kLastBlock + 1, CompiledNumbers::kNotCompiled});
    return ranges;
}

}  // namespace

int main(int argc, char **argv)
try {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    const NumberLookup oracle(nullptr, nullptr);
    // The table as far as it is built, searched for one block at a time.
    CompiledNumbers current({}, {}, {});
    const NumberLookup compiled(nullptr, &current);
    Builder builder;
    std::vector<std::uint16_t> byBlock;
    size_t differing = 0;
    for (std::uint32_t block = kFirstBlock; block <= kLastBlock; ++block) {
        const std::string prefix = std::to_string(block);
        std::vector<LookupOutcome> answers;
        for (const char *suffix : kSuffixes)
            answers.push_back(oracle.lookup(ascii(prefix + suffix)));
        // Only what the table can tell: a number, a mobile's facts, or no number at all.
        const LookupOutcome &first = answers.front();
        const bool compilable = first.verdict == Verdict::Invalid ||
            (first.verdict == Verdict::Found && first.owner.empty() &&
             first.sourceName.empty());
        std::uint16_t answer = compilable ? builder.answer(first) : CompiledNumbers::kNotCompiled;
        // Every number asked must get from the table what libphonenumber gave it.
        const CompiledRange ranges[] = {{block, answer & 0x7FFu},
                                        {block + 1, CompiledNumbers::kNotCompiled}};
        current = CompiledNumbers(ranges, builder.answers_, builder.views_);
        for (size_t s = 0; s < answers.size() && answer != CompiledNumbers::kNotCompiled; ++s)
            if (compiled.lookup(ascii(prefix + kSuffixes[s])) != answers[s]) {
                answer = CompiledNumbers::kNotCompiled;
                ++differing;
            }
        byBlock.push_back(answer);
    }
    const std::vector<CompiledRange> ranges = rangesOf(byBlock);

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << std::boolalpha;
    out << "// Generated by zuno-compile-numbers from libphonenumber and the carrier table.\n";
    out << "constexpr std::u16string_view kCompiledTexts[] = {\n";
    for (const std::u16string_view text : builder.views_)
        out << "    " << cLiteral(text) << ",\n";
    out << "};\nconstexpr CompiledAnswer kCompiledAnswers[] = {\n";
    for (const CompiledAnswer &a : builder.answers_)
        out << "    {" << a.found << ", " << a.virtualOperator << ", " << a.kind << ", " << a.place
            << ", " << a.areaCode << ", " << a.carrier << "},\n";
    out << "};\nconstexpr CompiledRange kCompiledRanges[] = {\n";
    for (const CompiledRange &range : ranges)
        out << "{" << range.firstBlock << "," << range.answer << "},\n";
    out << "};\n";
    out.close();
    if (!out) {
        std::fprintf(stderr, "zuno-compile-numbers: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("zuno-compile-numbers: %zu ranges, %zu answers, %zu texts; %zu blocks left to "
                "libphonenumber, %zu of them as the table could not answer them\n",
                ranges.size(), builder.answers_.size(), builder.views_.size(),
                static_cast<size_t>(std::count(byBlock.begin(), byBlock.end(),
                                               CompiledNumbers::kNotCompiled)),
                differing);
    return 0;
} catch (const std::exception &error) {
    std::fprintf(stderr, "zuno-compile-numbers: %s\n", error.what());
    return 1;
}
