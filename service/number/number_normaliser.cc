// SPDX-License-Identifier: Apache-2.0
#include "number/number_normaliser.h"

#include "number/service_numbers.h"

#include <utility>

namespace zuno::service {
namespace {

// Longest national number, trunk '0' included: 0 + four-digit area code + eight digits.
constexpr size_t kMaxNationalDigits = 12;
constexpr std::string_view kChinaCode = "86";

bool isSeparator(char16_t c)
{
    switch (c) {
    case u' ':
    case u'\t':
    case u'\r':
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\u00A0':
    case u'\u3000':  // no-break and ideographic space
    case u'-':
    case u'\uFF0D':
    case u'\u2010':
    case u'\u2011':
    case u'\u2012':
    case u'\u2013':
    case u'\u2014':
    case u'\u2015':
    case u'\u2212':
    case u'\uFF5E':
    case u'~':
    case u'.':
    case u'\uFF0E':
    case u'\u3002':
    case u'\u00B7':
    case u'(':
    case u')':
    case u'\uFF08':
    case u'\uFF09':
    case u'+':
    case u'\uFF0B': return true;
    default: return false;
    }
}

bool isPlus(char16_t c) { return c == u'+' || c == u'\uFF0B'; }

bool isLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
        (c >= u'\uFF21' && c <= u'\uFF3A') || (c >= u'\uFF41' && c <= u'\uFF5A');
}

}  // namespace

int digitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'\uFF10' && c <= u'\uFF19')
        return c - u'\uFF10';
    return -1;
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\u00A0' || c == u'\u3000' || c == u'\r' ||
        c == u'\n' || c == u'\v' || c == u'\f';
}

NormalisedNumber normaliseNumber(std::u16string_view title)
{
    NormalisedNumber result;
    std::string digits;
    bool letters = false;
    bool others = false;
    bool leadingPlus = false;
    bool seenContent = false;
    for (const char16_t c : title) {
        if (const int digit = digitValue(c); digit >= 0) {
            digits.push_back(static_cast<char>('0' + digit));
        } else if (isLetter(c)) {
            letters = true;
        } else if (!isSeparator(c)) {
            others = true;
        } else if (isPlus(c) && !seenContent) {
            leadingPlus = true;
        }
        if (!isBlank(c))
            seenContent = true;
    }

    if (letters) {
        result.verdict = Verdict::Letters;
    } else if (others) {
        result.verdict = Verdict::OtherCharacters;
    } else if (digits.empty()) {
        result.verdict = Verdict::Empty;
    } else if (leadingPlus) {
        if (digits.starts_with(kChinaCode)) {
            result.hadCountryCode = true;
            digits.erase(0, kChinaCode.size());
        } else {
            result.verdict = Verdict::OutsideMainland;
            result.international = digits;
        }
    } else if (digits.starts_with("00")) {
        if (digits.starts_with("0086")) {
            result.hadCountryCode = true;
            digits.erase(0, 4);
        } else {
            result.verdict = Verdict::OutsideMainland;
            result.international = digits.substr(2);
        }
    } else if (digits.starts_with(kChinaCode) && digits.size() == kChinaCode.size() + 11) {
        result.hadCountryCode = true;
        digits.erase(0, kChinaCode.size());
    }

    if (result.verdict == Verdict::Found && !result.hadCountryCode)
        digits.erase(0, callPrefixLength(digits));
    if (result.verdict == Verdict::Found && digits.size() > kMaxNationalDigits &&
        !isSmsPort(digits))
        result.verdict = Verdict::TooLong;
    if (result.verdict == Verdict::Found)
        result.national = std::move(digits);
    return result;
}

}  // namespace zuno::service
