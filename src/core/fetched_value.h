// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>
#include <variant>

namespace zuno {

// What a fetch yields: nothing at all, text (the normal case), or the raw bytes of a body
// that arrived but could not be converted to text.
class FetchedValue
{
public:
    FetchedValue() = default;

    static FetchedValue fromText(std::u16string text);
    static FetchedValue fromBytes(std::string bytes);

    bool isText() const { return std::holds_alternative<std::u16string>(value_); }
    bool isBytes() const { return std::holds_alternative<std::string>(value_); }

    // The value taken as text: empty gives an empty string, bytes are read as UTF-8 with
    // U+FFFD for anything malformed.
    std::u16string toText() const;

    // Length in UTF-16 code units of toText(); 0 for an empty value.
    std::size_t length() const;

    // The bytes of a bytes value; an empty string for the other two kinds.
    std::string bytes() const;

private:
    std::variant<std::monostate, std::u16string, std::string> value_;
};

// UTF-8 bytes read as UTF-16; each malformed sequence becomes one U+FFFD (the maximal subpart
// rule that browsers and ICU follow).
std::u16string utf8ToUtf16(std::string_view bytes);

// UTF-16 written as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

}  // namespace zuno
