// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// Several of libphonenumber's national number patterns matched at once, by one deterministic
// automaton over the digits made when it is built: a number is read in as many steps as it has
// digits, where a regular expression engine would try each pattern in turn. The patterns use
// digits, \d, [classes], (groups), (?:groups), '|', '?', '*', '+' and {n}/{n,m}; anything else
// is refused.
class DigitAutomaton
{
public:
    // At most 16 patterns; an empty one matches nothing. Throws std::runtime_error for a pattern
    // it cannot read.
    explicit DigitAutomaton(const std::vector<std::string> &patterns);

    // Bit i set when digits, as a whole, match pattern i; 0 for anything with a non-digit.
    std::uint16_t matches(std::string_view digits) const
    {
        std::uint32_t state = kStart;
        for (const char c : digits) {
            const unsigned digit = static_cast<unsigned char>(c) - '0';
            if (digit > 9)
                return 0;
            state = next_[state][digit];
        }
        return accepts_[state];
    }

    size_t states() const { return next_.size(); }

private:
    static constexpr std::uint32_t kStart = 1;  // state 0 is the one no digit leaves

    std::vector<std::array<std::uint32_t, 10>> next_;
    std::vector<std::uint16_t> accepts_;
};

}  // namespace zuno::service
