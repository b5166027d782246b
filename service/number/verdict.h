// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>

namespace zuno::service {

// What a lookup made of a title. The normaliser gives the verdicts it can tell from the text
// alone (Empty, Letters, OtherCharacters, OutsideMainland, TooLong), Found for text that reads as
// a number; the numbering data gives TooShort, Invalid or Found.
enum class Verdict {
    Found,
    Empty,            // nothing but spaces and separators
    Letters,          // a Latin letter, half- or full-width
    OtherCharacters,  // anything that is neither a digit nor a separator
    OutsideMainland,  // a country code other than +86 / 0086: 中国香港, 中国澳门, 中国台湾, abroad
    TooShort,  // fewer digits than a number of its kind has
    TooLong,   // more national digits than any Chinese number has
    Invalid,   // digits that no Chinese number plan allows
};
inline constexpr size_t kVerdictCount = 8;

}  // namespace zuno::service
