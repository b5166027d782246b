#pragma once

#include "number_types.h"

#include <unicode/uversion.h>

#include <memory>
#include <string>
#include <string_view>

namespace i18n::phonenumbers {
class PhoneNumber;
class PhoneNumberOfflineGeocoder;
class PhoneNumberUtil;
class ShortNumberInfo;
}  // namespace i18n::phonenumbers

U_NAMESPACE_BEGIN
class Locale;
U_NAMESPACE_END

namespace zuno::service {

enum class Verdict {
    Found,
    Empty,
    Letters,
    OtherCharacters,
    NotChinese,
    TooShort,
    TooLong,
    Invalid,
};

struct LookupOutcome {
    Verdict verdict = Verdict::Invalid;
    // Only for Found: the number in China's national format, its home location, its kind.
    std::u16string number;
    std::u16string place;
    std::u16string kind;
};

// Looks numbers up in libphonenumber's offline data: validity and kind from PhoneNumberUtil,
// short numbers from ShortNumberInfo, places in Chinese from the offline geocoder.
// Safe to share between threads once built.
class NumberLookup
{
public:
    NumberLookup();
    ~NumberLookup();
    NumberLookup(const NumberLookup &) = delete;
    NumberLookup &operator=(const NumberLookup &) = delete;

    LookupOutcome lookup(std::u16string_view title) const;

private:
    LookupOutcome lookupShortNumber(const std::string &digits) const;
    LookupOutcome lookupFullNumber(const std::string &national) const;
    std::u16string formatNational(const i18n::phonenumbers::PhoneNumber &number,
                                  const std::string &significant, int type) const;

    const i18n::phonenumbers::PhoneNumberUtil &util_;
    NumberTypes types_;
    std::unique_ptr<const i18n::phonenumbers::ShortNumberInfo> shortNumbers_;
    std::unique_ptr<const i18n::phonenumbers::PhoneNumberOfflineGeocoder> geocoder_;
    std::unique_ptr<const icu::Locale> chinese_;
};

}  // namespace zuno::service
