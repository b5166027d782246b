// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/verdict.h"

#include <string>
#include <string_view>

namespace zuno::service {

struct NormalisedNumber {
    // Found when the text reads as a number, else what is wrong with it before any numbering
    // data is consulted: Empty, Letters, OtherCharacters, OutsideMainland or TooLong.
    Verdict verdict = Verdict::Found;
    // The number as dialled inside China, ASCII digits, a trunk '0' kept if it was typed.
    std::string national;
    // A country code (+86, 0086, or 86 before eleven digits) was typed and taken off.
    bool hadCountryCode = false;
    // For OutsideMainland, the digits after the international prefix, country code first.
    std::string international;
};

// White space, half- or full-width, line breaks included.
bool isBlank(char16_t c);

// The value of a half- or full-width digit, -1 for anything else.
int digitValue(char16_t c);

// Reads a title as people type numbers: spaces, hyphens, dashes, dots and parentheses (half-
// and full-width) are ignored, full-width digits count as digits, and a leading +86, 0086, or
// 86 before exactly eleven digits is taken as China's country code; a carrier's dialling prefix
// before a whole number (17951 13800138000) is dropped.
NormalisedNumber normaliseNumber(std::u16string_view title);

}  // namespace zuno::service
