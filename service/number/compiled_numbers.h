// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zuno::service {

// What every number of a mainland mobile block answers, as libphonenumber answered it when the
// table was built. Texts are indices into CompiledNumbers::texts(), 0 for none.
struct CompiledAnswer {
    bool found;  // false: no number (Verdict::Invalid)
    bool virtualOperator;
    std::uint16_t kind;
    std::uint16_t place;
    std::uint16_t areaCode;
    std::uint16_t carrier;
};

// From its first block on, blocks up to the next row's first answer as answers[answer] does.
// Four bytes a row, as the lookups of a busy service touch most of the table.
struct CompiledRange {
    std::uint32_t firstBlock : 21;  // the seven leading digits of an eleven-digit number
    std::uint32_t answer : 11;      // kNotCompiled for blocks libphonenumber must answer itself
};

// The mainland's eleven-digit numbers that begin with 1, block by block: a sorted range table
// with each text stored once, generated at build time from libphonenumber by
// zuno-compile-numbers, so that a lookup of one is a binary search instead of regular
// expressions and the geocoder.
class CompiledNumbers
{
public:
    static constexpr std::uint16_t kNotCompiled = 0x7FF;

    constexpr CompiledNumbers(std::span<const CompiledRange> ranges,
                              std::span<const CompiledAnswer> answers,
                              std::span<const std::u16string_view> texts)
        : ranges_(ranges), answers_(answers), texts_(texts)
    {}

    // The answer for every number of the block that holds an eleven-digit significant number;
    // nullptr for other numbers and for blocks left to libphonenumber.
    const CompiledAnswer *find(std::string_view significant) const;

    std::u16string_view text(std::uint16_t index) const { return texts_[index]; }
    std::span<const CompiledRange> ranges() const { return ranges_; }

private:
    std::span<const CompiledRange> ranges_;
    std::span<const CompiledAnswer> answers_;
    std::span<const std::u16string_view> texts_;
};

// The table built from this build's libphonenumber, compiled in.
const CompiledNumbers &builtinNumbers();

}  // namespace zuno::service
