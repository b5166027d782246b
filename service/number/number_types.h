// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class UnicodeString;
U_NAMESPACE_END

namespace zuno::service {

// libphonenumber's region code for mainland China.
inline constexpr char kChinaRegion[] = "CN";

class DigitAutomaton;

// The kind of a Chinese number as libphonenumber's PhoneNumberUtil::GetNumberType gives it,
// computed from the same CN metadata with the same rules, but with the patterns compiled once.
// PhoneNumberUtil looks each pattern up in a cache keyed by the pattern text, hashing several
// kilobytes of pattern per call, which would cost more than the rest of a lookup. Values are those
// of PhoneNumberUtil::PhoneNumberType.
class NumberTypes
{
public:
    // Throws std::runtime_error when libphonenumber's metadata has no usable CN entry.
    NumberTypes();
    ~NumberTypes();
    NumberTypes(const NumberTypes &) = delete;
    NumberTypes &operator=(const NumberTypes &) = delete;

    // significant: the national significant number, ASCII digits, no trunk prefix. Read by one
    // automaton made of all the patterns.
    int typeOf(std::string_view significant) const;
    // The same through ICU's regular expressions, as libphonenumber matches the patterns.
    int typeByPatterns(std::string_view significant) const;

private:
    struct Description;
    bool matches(size_t description, const icu::UnicodeString &significant) const;
    bool possibleLength(size_t description, size_t length) const;
    // GetNumberType's order of the kinds, given which descriptions match.
    template<class Matches> int classify(Matches matches) const;

    std::vector<Description> descriptions_;
    std::unique_ptr<const DigitAutomaton> automaton_;
    bool sameMobileAndFixedLinePattern_ = false;
    const std::uint64_t generation_;
};

}  // namespace zuno::service
