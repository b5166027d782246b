// SPDX-License-Identifier: Apache-2.0
#include "number/number_lookup.h"

#include "number/carrier_blocks.h"
#include "number/compiled_numbers.h"
#include "number/number_normaliser.h"
#include "number/service_numbers.h"
#include "number/typed_queries.h"
#include "text/utf8.h"

#include <phonenumbers/geocoding/phonenumber_offline_geocoder.h>
#include <phonenumbers/phonenumberutil.h>
#include <phonenumbers/shortnumberinfo.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <charconv>
#include <initializer_list>
#include <optional>

namespace zuno::service {
namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

constexpr int kChinaCallingCode = 86;
// Below this many significant digits no Chinese number other than a short one is complete.
constexpr size_t kMinSignificantDigits = 10;
constexpr size_t kMaxShortNumberDigits = 6;
// An international number has at most 15 digits, its country code included (E.164).
constexpr size_t kMaxInternationalDigits = 15;

std::u16string ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string kindName(PhoneNumberUtil::PhoneNumberType type)
{
    switch (type) {
    case PhoneNumberUtil::FIXED_LINE: return u"固定电话";
    case PhoneNumberUtil::MOBILE: return u"手机号码";
    case PhoneNumberUtil::FIXED_LINE_OR_MOBILE: return u"固定电话或手机号码";
    case PhoneNumberUtil::TOLL_FREE: return u"免费电话";
    case PhoneNumberUtil::PREMIUM_RATE: return u"付费增值号码";
    case PhoneNumberUtil::SHARED_COST: return u"企业热线";
    case PhoneNumberUtil::VOIP: return u"网络电话";
    case PhoneNumberUtil::PERSONAL_NUMBER: return u"个人号码";
    case PhoneNumberUtil::PAGER: return u"寻呼号码";
    case PhoneNumberUtil::UAN: return u"统一接入号码";
    case PhoneNumberUtil::VOICEMAIL: return u"语音信箱";
    case PhoneNumberUtil::UNKNOWN: break;
    }
    return u"未知类型";
}

// A Chinese number from its national significant digits; nothing when they are no number.
std::optional<PhoneNumber> chineseNumber(std::string_view digits)
{
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    PhoneNumber number;
    number.set_country_code(kChinaCallingCode);
    number.set_national_number(value);
    return number;
}

// Beijing (10) and the 2x cities have two-digit area codes, everywhere else three.
size_t areaCodeLength(std::string_view significant)
{
    return significant.starts_with("10") || significant.starts_with('2') ? 2 : 3;
}

// What the geocoder names where it knows no place: China's name, as it makes it from ICU.
std::string countryName(const icu::Locale &language)
{
    icu::UnicodeString name;
    icu::Locale("", kChinaRegion).getDisplayCountry(language, name);
    std::string utf8;
    return name.toUTF8String(utf8);
}

// The name in Chinese of a region libphonenumber knows, as mainland usage has it; empty for none
// (ZZ, or 001 for the non-geographic codes).
std::u16string regionName(const std::string &region, const icu::Locale &language)
{
    // ICU calls these 中国香港特别行政区, 中国澳门特别行政区 and 台湾.
    if (region == "HK")
        return u"中国香港";
    if (region == "MO")
        return u"中国澳门";
    if (region == "TW")
        return u"中国台湾";
    if (region.size() != 2 || region == "ZZ")
        return {};
    icu::UnicodeString name;
    icu::Locale("", region.c_str()).getDisplayCountry(language, name);
    // ICU gives the code itself back for a region it has no name for.
    if (name.isBogus() || name == icu::UnicodeString::fromUTF8(region))
        return {};
    return std::u16string(name.getBuffer(), static_cast<size_t>(name.length()));
}

// Digits in groups, e.g. "13800138000" with {3, 4} gives "138 0013 8000".
std::u16string grouped(std::string_view digits, std::initializer_list<size_t> leading)
{
    std::u16string out;
    size_t at = 0;
    for (const size_t size : leading) {
        out += ascii(digits.substr(at, size));
        out += u' ';
        at += size;
    }
    out += ascii(digits.substr(at));
    return out;
}

LookupOutcome outcome(Verdict verdict)
{
    LookupOutcome result;
    result.verdict = verdict;
    return result;
}

}  // namespace

NumberLookup::NumberLookup(const SegmentStore *segments, const CompiledNumbers *compiled)
    : util_(*PhoneNumberUtil::GetInstance()),
      shortNumbers_(std::make_unique<i18n::phonenumbers::ShortNumberInfo>()),
      geocoder_(std::make_unique<i18n::phonenumbers::PhoneNumberOfflineGeocoder>()),
      chinese_(std::make_unique<icu::Locale>("zh")),
      countryName_(countryName(*chinese_)),
      areaCodes_(types_,
                 [this](const std::string &significant) {
                     const std::optional<PhoneNumber> number = chineseNumber(significant);
                     return number ? placeOf(*number) : std::u16string();
                 }),
      segments_(segments),
      compiled_(compiled),
      typedQueries_(std::make_unique<TypedQueries>(
          areaCodes_, [this](std::u16string_view title) { return lookupWholeNumber(title); }))
{}

NumberLookup::~NumberLookup() = default;

std::string_view verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Found: return "found";
    case Verdict::Empty: return "empty";
    case Verdict::Letters: return "letters";
    case Verdict::OtherCharacters: return "other_characters";
    case Verdict::OutsideMainland: return "outside_mainland";
    case Verdict::TooShort: return "too_short";
    case Verdict::TooLong: return "too_long";
    case Verdict::Invalid: break;
    }
    return "invalid";
}

LookupOutcome NumberLookup::lookup(std::u16string_view title) const
{
    // One object returned on every path, so that a whole number's outcome is not moved again.
    LookupOutcome whole = lookupWholeNumber(title);
    switch (whole.verdict) {
    case Verdict::TooShort:
    case Verdict::TooLong:
    case Verdict::OtherCharacters:
    case Verdict::Letters:
    case Verdict::Invalid: whole = typedQueries_->read(title, std::move(whole)); break;
    default: break;
    }
    return whole;
}

LookupOutcome NumberLookup::lookupWholeNumber(std::u16string_view title) const
{
    const NormalisedNumber normalised = normaliseNumber(title);
    if (normalised.verdict == Verdict::OutsideMainland)
        return lookupOutsideMainland(normalised.international);
    if (normalised.verdict != Verdict::Found)
        return outcome(normalised.verdict);

    const std::string &national = normalised.national;
    // Text messages come from 106 ports; read as digits they would be a Beijing fixed line.
    if (isSmsPort(national)) {
        LookupOutcome port;
        port.verdict = Verdict::Found;
        port.number = ascii(national);
        port.place = kNationwide;
        port.kind = u"短信服务号码";
        port.placeSource = PlaceSource::Builtin;
        return port;
    }
    if (!normalised.hadCountryCode && national.size() <= kMaxShortNumberDigits &&
        !national.starts_with('0')) {
        LookupOutcome found = lookupShortNumber(national);
        if (found.verdict == Verdict::Found)
            return found;
    }
    return lookupFullNumber(national);
}

LookupOutcome NumberLookup::lookupShortNumber(const std::string &digits) const
{
    LookupOutcome result;
    if (const ServiceNumber *known = findServiceNumber(digits)) {
        result.kind = known->kind == ShortNumberKind::Emergency ? u"紧急号码" : u"服务号码";
        result.owner = known->owner;
    } else {
        const std::optional<PhoneNumber> number = chineseNumber(digits);
        if (!number || !shortNumbers_->IsValidShortNumberForRegion(*number, kChinaRegion))
            return outcome(Verdict::TooShort);
        result.kind =
            shortNumbers_->IsEmergencyNumber(digits, kChinaRegion) ? u"紧急号码" : u"服务号码";
    }
    result.verdict = Verdict::Found;
    result.number = ascii(digits);
    result.place = kNationwide;
    result.placeSource = PlaceSource::Builtin;
    return result;
}

LookupOutcome NumberLookup::lookupFullNumber(const std::string &national) const
{
    // The trunk prefix '0' is dialled inside China but is not part of the number itself.
    const std::string significant = national.starts_with('0') ? national.substr(1) : national;
    if (compiled_ != nullptr)
        if (const CompiledAnswer *answer = compiled_->find(significant))
            return compiledOutcome(*answer, significant);
    const std::optional<PhoneNumber> parsed =
        significant.starts_with('0') ? std::nullopt : chineseNumber(significant);
    if (!parsed)
        return outcome(significant.size() < kMinSignificantDigits ? Verdict::TooShort
                                                                  : Verdict::Invalid);
    const PhoneNumber &number = *parsed;
    // The type is UNKNOWN exactly when the number is not valid, so one call answers both.
    // Without the compiled table, every step is libphonenumber's own, as the table's oracle.
    const auto type = static_cast<PhoneNumberUtil::PhoneNumberType>(
        compiled_ ? types_.typeOf(significant) : types_.typeByPatterns(significant));
    if (type == PhoneNumberUtil::UNKNOWN)
        return outcome(significant.size() < kMinSignificantDigits ? Verdict::TooShort
                                                                  : Verdict::Invalid);

    LookupOutcome result;
    result.verdict = Verdict::Found;
    result.number = formatNational(number, significant, type);
    result.e164 = "+86" + significant;
    // A fixed line is where its area code is, as the geocoder named it at start-up.
    const std::u16string_view codePlace = type == PhoneNumberUtil::FIXED_LINE
        ? areaCodes_.placeOfCode(
              std::string_view(significant).substr(0, areaCodeLength(significant)))
        : std::u16string_view();
    result.kind = kindName(type);
    if (type == PhoneNumberUtil::MOBILE) {
        result.carrier = carrierOf(significant);
        result.virtualOperator = isVirtualOperatorBlock(significant);
    }
    // A loaded segment with a place spares the geocoder, the costliest part of a lookup.
    const bool placed = type == PhoneNumberUtil::MOBILE && applySegments(significant, result);
    if (!placed)
        result.place = codePlace.empty() ? placeOf(number) : std::u16string(codePlace);
    switch (type) {
    case PhoneNumberUtil::MOBILE:
        if (result.areaCode.empty())
            result.areaCode = areaCodes_.codeOf(result.place);
        break;
    case PhoneNumberUtil::SHARED_COST:
    case PhoneNumberUtil::TOLL_FREE:
        // 400, 800 and 950 numbers have no place; a local 96xxx line is a fixed line's.
        if (result.place.empty())
            result.place = kNationwide;
        else if (type == PhoneNumberUtil::SHARED_COST)
            result.areaCode = u"0" + ascii(significant.substr(0, areaCodeLength(significant)));
        break;
    case PhoneNumberUtil::FIXED_LINE:
        result.areaCode = u"0" + ascii(significant.substr(0, areaCodeLength(significant)));
        break;
    default: break;
    }
    if (!result.place.empty() && result.placeSource == PlaceSource::None)
        result.placeSource = PlaceSource::Builtin;
    return result;
}

LookupOutcome NumberLookup::compiledOutcome(const CompiledAnswer &answer,
                                           const std::string &significant) const
{
    // Only `result` is returned, so that it is built in the caller's outcome and never moved.
    LookupOutcome result;
    result.verdict = answer.found ? Verdict::Found : Verdict::Invalid;
    if (!answer.found)
        return result;
    result.number = grouped(significant, {3, 4});
    result.e164 = "+86" + significant;
    result.kind = compiled_->text(answer.kind);
    result.carrier = compiled_->text(answer.carrier);
    result.virtualOperator = answer.virtualOperator;
    const bool placed = applySegments(significant, result);
    if (!placed)
        result.place = compiled_->text(answer.place);
    // The table's area code is its own place's; a segment's place has its own.
    if (result.areaCode.empty())
        result.areaCode =
            placed ? areaCodes_.codeOf(result.place) : compiled_->text(answer.areaCode);
    if (!result.place.empty() && result.placeSource == PlaceSource::None)
        result.placeSource = PlaceSource::Builtin;
    return result;
}

bool NumberLookup::applySegments(const std::string &significant, LookupOutcome &result) const
{
    if (segments_ == nullptr)
        return false;
    const std::shared_ptr<const SegmentTable> table = segments_->current();
    const SegmentPlace *block = table ? table->find(significant) : nullptr;
    if (block == nullptr)
        return false;
    if (!block->place.empty()) {
        result.place = block->place;
        result.areaCode = block->areaCode.empty() ? std::u16string(areaCodes_.codeOf(block->place))
                                                  : block->areaCode;
        result.placeSource = PlaceSource::Segments;
        const SegmentSource &source = table->sources()[block->source];
        result.sourceName = source.name;
        result.sourceDate = source.date;
    } else if (!block->areaCode.empty()) {
        result.areaCode = block->areaCode;
    }
    if (!block->carrier.empty())
        result.carrier = block->carrier;
    if (block->virtualOperator >= 0)
        result.virtualOperator = block->virtualOperator == 1;
    return result.placeSource == PlaceSource::Segments;
}

LookupOutcome NumberLookup::lookupOutsideMainland(const std::string &international) const
{
    LookupOutcome result = outcome(Verdict::OutsideMainland);
    PhoneNumber number;
    if (international.size() > kMaxInternationalDigits ||
        util_.Parse("+" + international, "ZZ", &number) != PhoneNumberUtil::NO_PARSING_ERROR)
        return result;
    const bool valid = util_.IsValidNumber(number);
    std::string region;
    if (valid)
        util_.GetRegionCodeForNumber(number, &region);
    else
        util_.GetRegionCodeForCountryCode(number.country_code(), &region);
    const std::u16string name = regionName(region, *chinese_);
    if (name.empty())
        return result;
    std::string formatted;
    util_.Format(number, PhoneNumberUtil::INTERNATIONAL, &formatted);
    result.number = fromUtf8(formatted);
    if (valid) {
        util_.Format(number, PhoneNumberUtil::E164, &result.e164);
        result.kind = kindName(util_.GetNumberType(number));
    }
    result.place = name;
    result.placeSource = PlaceSource::Builtin;
    return result;
}

std::u16string NumberLookup::placeOf(const PhoneNumber &number) const
{
    const std::string place = geocoder_->GetDescriptionForValidNumber(number, *chinese_);
    if (place == countryName_)
        return {};
    return fromUtf8(place);
}

std::u16string NumberLookup::formatNational(const PhoneNumber &number,
                                            const std::string &significant, int type) const
{
    // libphonenumber's Format costs about 10 us a call, more than the rest of a lookup; the
    // common Chinese shapes are simple enough to write out here.
    const size_t length = significant.size();
    switch (type) {
    case PhoneNumberUtil::MOBILE:
        if (length == 11)
            return grouped(significant, {3, 4});
        break;
    case PhoneNumberUtil::TOLL_FREE:
    case PhoneNumberUtil::SHARED_COST:
        if (length == 10)
            return grouped(significant, {3, 3});
        break;
    case PhoneNumberUtil::FIXED_LINE:
    case PhoneNumberUtil::FIXED_LINE_OR_MOBILE: {
        if (significant.starts_with('1') && !significant.starts_with("10"))
            break;
        const size_t area = areaCodeLength(significant);
        const size_t subscriber = length - area;
        if (subscriber == 8)
            return u"0" + grouped(significant, {area, 4});
        if (subscriber == 7)
            return u"0" + grouped(significant, {area, 3});
        break;
    }
    default: break;
    }
    std::string formatted;
    util_.Format(number, PhoneNumberUtil::NATIONAL, &formatted);
    return formatted.empty() ? ascii(significant) : fromUtf8(formatted);
}

}  // namespace zuno::service
