// SPDX-License-Identifier: Apache-2.0
#include "number/typed_queries.h"

#include "number/area_codes.h"
#include "number/carrier_blocks.h"
#include "number/number_normaliser.h"

#include <phonenumbers/phonenumberutil.h>
#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace zuno::service {
namespace {

constexpr size_t kBlockDigits = 7;
constexpr size_t kMobileDigits = 11;
constexpr size_t kMostExtensionDigits = 6;
// A province has at least this many other places whose names begin with its name.
constexpr size_t kPlacesInAProvince = 3;
// The longest name worth looking up: 新疆维吾尔自治区伊犁哈萨克自治州 and some room.
constexpr size_t kLongestName = 24;
constexpr std::u16string_view kMobileKind = u"手机号码";

std::u16string ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string_view trimmed(std::u16string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

LookupOutcome found(QueryForm form, std::u16string_view kind)
{
    LookupOutcome result;
    result.verdict = Verdict::Found;
    result.form = form;
    result.kind = kind;
    return result;
}

std::u16string joined(const std::vector<std::u16string> &parts)
{
    std::u16string text;
    for (const std::u16string &part : parts)
        text += (text.empty() ? u"" : u"、") + part;
    return text;
}

// The province part of a place's name as the area-code table spells it: from its first two
// characters on, as long as the same other places begin with it ("四川省" of "四川省成都市",
// "西藏" of "西藏索县"), and never into the city's name where siblings share a first character
// (青海省海北, 海东, 海南 beside 海西).
std::u16string_view provinceOf(std::u16string_view name, const std::vector<AreaCodes::Entry> &all)
{
    constexpr size_t kShortestProvince = 2;
    const auto othersBeginningWith = [&](std::u16string_view part) {
        return std::count_if(all.begin(), all.end(), [&](const auto &other) {
            return other.first != name && std::u16string_view(other.first).starts_with(part);
        });
    };
    if (name.size() <= kShortestProvince)
        return {};
    const auto others = othersBeginningWith(name.substr(0, kShortestProvince));
    if (others < static_cast<std::ptrdiff_t>(kPlacesInAProvince))
        return {};
    size_t length = kShortestProvince;
    while (length + 1 < name.size() && othersBeginningWith(name.substr(0, length + 1)) == others)
        ++length;
    return name.substr(0, length);
}

// A name as people say it without its last word, where at least two characters remain.
std::u16string_view without(std::u16string_view name,
                            std::initializer_list<std::u16string_view> endings)
{
    for (const std::u16string_view ending : endings)
        if (name.ends_with(ending) && name.size() >= ending.size() + 2)
            return name.substr(0, name.size() - ending.size());
    return name;
}

// Hong Kong, Macau and Taiwan in mainland usage (中国香港, 中国台湾) from ICU's names, which are
// 中国香港特别行政区 and 台湾, with every name people type for them.
std::vector<std::pair<PlaceCode, std::vector<std::u16string>>> regionsOutsideMainland()
{
    constexpr std::u16string_view kChina = u"中国";
    constexpr std::u16string_view kRegionWord = u"特别行政区";
    const auto &util = *i18n::phonenumbers::PhoneNumberUtil::GetInstance();
    const icu::Locale chinese("zh");
    std::vector<std::pair<PlaceCode, std::vector<std::u16string>>> regions;
    for (const char *region : {"HK", "MO", "TW"}) {
        icu::UnicodeString icuName;
        icu::Locale("", region).getDisplayCountry(chinese, icuName);
        const std::u16string full(icuName.getBuffer(), static_cast<size_t>(icuName.length()));
        const std::u16string_view bare =
            without(std::u16string_view(full).substr(full.starts_with(kChina) ? kChina.size() : 0),
                    {kRegionWord});
        const std::u16string shown = std::u16string(kChina) + std::u16string(bare);
        const int code = util.GetCountryCodeForRegion(region);
        if (bare.empty() || code == 0)
            throw std::runtime_error(std::string("ICU or libphonenumber does not know ") + region);
        regions.push_back({{shown, u"+" + ascii(std::to_string(code))},
                           {full, shown, std::u16string(bare),
                            std::u16string(bare) + std::u16string(kRegionWord)}});
    }
    return regions;
}

// Every area code without its trunk 0 that the table may know: 10, 20 to 29, 300 to 999.
std::vector<std::string> areaCodeCandidates()
{
    std::vector<std::string> codes{"10"};
    for (int code = 20; code <= 29; ++code)
        codes.push_back(std::to_string(code));
    for (int code = 300; code <= 999; ++code)
        codes.push_back(std::to_string(code));
    return codes;
}

}  // namespace

TypedQueries::TypedQueries(const AreaCodes &areaCodes, WholeNumber wholeNumber)
    : areaCodes_(areaCodes), wholeNumber_(std::move(wholeNumber))
{
    UErrorCode status = U_ZERO_ERROR;
    simplified_.reset(
        icu::Transliterator::createInstance("Traditional-Simplified", UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !simplified_)
        throw std::runtime_error(std::string("ICU's Traditional-Simplified: ") +
                                 u_errorName(status));

    // Each place answers to its name with and without its province, and to each of them without
    // 市, 县, 区 or 地区: 四川省成都市, 成都市, 四川成都, 成都.
    const std::vector<AreaCodes::Entry> &entries = areaCodes.entries();
    const auto addPlace = [this](PlaceCode place, std::u16string_view province) {
        const size_t index = places_.size();
        const std::u16string_view local = std::u16string_view(place.place).substr(province.size());
        const std::u16string_view shortProvince = without(province, {u"省", u"市"});
        const std::u16string_view bareLocal = without(local, {u"地区", u"市", u"县", u"区"});
        for (const std::u16string_view head : {province, shortProvince})
            for (const std::u16string_view tail : {local, bareLocal}) {
                names_.emplace_back(std::u16string(head) + std::u16string(tail), index);
                names_.emplace_back(std::u16string(tail), index);
            }
        places_.push_back(std::move(place));
    };
    for (const auto &[place, code] : entries)
        addPlace({place, code}, provinceOf(place, entries));
    // A place the geocoder names for two codes has no code in the table, but its name answers both.
    for (const std::string &code : areaCodeCandidates()) {
        const std::vector<std::u16string> listed = splitPlaces(areaCodes.placeOfCode(code));
        const std::u16string_view province =
            listed.empty() ? std::u16string_view() : provinceOf(listed.front(), entries);
        for (size_t i = 0; i < listed.size(); ++i) {
            const std::u16string place = (i == 0 ? u"" : std::u16string(province)) + listed[i];
            if (areaCodes.codeOf(place).empty())
                addPlace({place, u"0" + ascii(code)}, provinceOf(place, entries));
        }
    }
    for (auto &[place, names] : regionsOutsideMainland()) {
        for (std::u16string &name : names)
            names_.emplace_back(std::move(name), places_.size());
        places_.push_back(std::move(place));
    }
    std::sort(names_.begin(), names_.end());
    names_.erase(std::unique(names_.begin(), names_.end()), names_.end());
}

TypedQueries::~TypedQueries() = default;

std::string firstNumberOf(const LookupOutcome &outcome)
{
    if (outcome.form != QueryForm::Block)
        return outcome.e164;
    std::string e164 = "+86";
    for (const char16_t c : outcome.number)
        if (c >= u'0' && c <= u'9')
            e164 += static_cast<char>(c);
    return e164 + std::string(kMobileDigits + 3 - e164.size(), '0');
}

LookupOutcome TypedQueries::read(std::u16string_view title, LookupOutcome whole) const
{
    LookupOutcome read;
    const NormalisedNumber normalised = normaliseNumber(title);
    if (normalised.verdict == Verdict::Found) {
        const std::string &digits = normalised.national;
        if (!normalised.hadCountryCode && digits.starts_with('1')) {
            if (digits.size() == kBlockDigits)
                read = block(digits);
            else if (digits.size() == 3 || digits.size() == 4)
                read = blockPrefix(digits);
        }
        if (!read.valid() && !normalised.hadCountryCode)
            read = areaCode(digits);
    }
    if (!read.valid() && whole.verdict != Verdict::TooShort)
        read = withExtension(title);
    if (!read.valid() && whole.verdict == Verdict::OtherCharacters)
        read = placeName(title);
    return read.valid() ? read : whole;
}

LookupOutcome TypedQueries::block(const std::string &digits) const
{
    // A block's numbers share its place and carrier: its first number answers for it.
    LookupOutcome result =
        wholeNumber_(ascii(digits + std::string(kMobileDigits - digits.size(), '0')));
    if (!result.valid() || result.kind != kMobileKind)
        return {};
    result.form = QueryForm::Block;
    result.number = ascii(digits.substr(0, 3)) + u' ' + ascii(digits.substr(3));
    result.e164.clear();
    result.kind = u"手机号段";
    return result;
}

LookupOutcome TypedQueries::blockPrefix(const std::string &digits) const
{
    const std::string first = digits + std::string(kMobileDigits - digits.size(), '0');
    const LookupOutcome number = wholeNumber_(ascii(first));
    if (!number.valid() || number.kind != kMobileKind)
        return {};
    // The carrier holding the prefix and those of the longer blocks under it (1700 to 1709).
    std::vector<std::u16string> carriers;
    const auto add = [&carriers](std::u16string_view carrier) {
        if (!carrier.empty() &&
            std::find(carriers.begin(), carriers.end(), carrier) == carriers.end())
            carriers.emplace_back(carrier);
    };
    add(carrierOf(digits));
    for (const CarrierBlock &block : carrierBlocks())
        if (block.prefix.size() > digits.size() && block.prefix.starts_with(digits))
            add(block.carrier);
    LookupOutcome result = found(QueryForm::BlockPrefix, u"手机号段");
    result.virtualOperator = isVirtualOperatorBlock(first);
    if (carriers.empty() && !result.virtualOperator)
        return {};
    result.number = ascii(digits);
    // Virtual operators on several hosts are one answer: 虚拟运营商.
    if (carriers.size() == 1 || !result.virtualOperator)
        result.carrier = joined(carriers);
    return result;
}

LookupOutcome TypedQueries::areaCode(const std::string &digits) const
{
    const std::string_view code = std::string_view(digits).substr(digits.starts_with('0') ? 1 : 0);
    if (code.size() < 2 || code.size() > 3 || code.starts_with('0'))
        return {};
    const std::u16string_view description = areaCodes_.placeOfCode(code);
    if (description.empty())
        return {};
    LookupOutcome result = found(QueryForm::AreaCode, u"区号");
    result.areaCode = u"0" + ascii(code);
    result.place = description;
    result.placeSource = PlaceSource::Builtin;
    // The geocoder lists the places after the first without their province; the table has them
    // with it.
    const std::vector<AreaCodes::Entry> &entries = areaCodes_.entries();
    for (const std::u16string &name : splitPlaces(description)) {
        const auto full = std::find_if(entries.begin(), entries.end(), [&](const auto &entry) {
            return entry.second == result.areaCode && entry.first.ends_with(name);
        });
        result.places.push_back({full == entries.end() ? name : full->first, result.areaCode});
    }
    return result;
}

LookupOutcome TypedQueries::withExtension(std::u16string_view title) const
{
    title = trimmed(title);
    size_t at = title.size();
    std::u16string extension;
    while (at > 0 && digitValue(title[at - 1]) >= 0 && extension.size() < kMostExtensionDigits + 1)
        extension.insert(extension.begin(), static_cast<char16_t>(u'0' + digitValue(title[--at])));
    if (extension.empty() || extension.size() > kMostExtensionDigits)
        return {};
    std::u16string_view rest = trimmed(title.substr(0, at));
    bool marked = false;
    for (const std::u16string_view marker : {u"ext.", u"EXT.", u"Ext.", u"ext", u"EXT", u"Ext",
                                             u"转", u"-", u"－", u"x", u"X", u"#", u"＃"})
        if (rest.ends_with(marker)) {
            rest.remove_suffix(marker.size());
            marked = true;
            break;
        }
    if (!marked)
        return {};
    LookupOutcome result = wholeNumber_(trimmed(rest));
    // Only a complete fixed line has extensions behind its switchboard.
    if (!result.valid() || result.kind != u"固定电话")
        return {};
    result.extension = std::move(extension);
    return result;
}

LookupOutcome TypedQueries::placeName(std::u16string_view title) const
{
    std::u16string typed;
    for (const char16_t c : title)
        if (!isBlank(c))
            typed += c;
    // Names are Chinese characters: text holding digits, Latin or ASCII marks skips the lock.
    if (typed.empty() || typed.size() > kLongestName ||
        !std::all_of(typed.begin(), typed.end(), [](char16_t c) { return c >= 0x3400; }))
        return {};
    const auto namesOf = [this](const std::u16string &key) {
        const auto first = std::lower_bound(
            names_.begin(), names_.end(), key,
            [](const auto &name, const std::u16string &wanted) { return name.first < wanted; });
        const auto last = std::upper_bound(
            first, names_.end(), key,
            [](const std::u16string &wanted, const auto &name) { return wanted < name.first; });
        return std::pair{first, last};
    };
    auto [first, last] = namesOf(typed);
    if (first == last) {
        icu::UnicodeString text(typed.data(), static_cast<int32_t>(typed.size()));
        {
            const std::lock_guard lock(simplifying_);
            simplified_->transliterate(text);
        }
        std::tie(first, last) =
            namesOf(std::u16string(text.getBuffer(), static_cast<size_t>(text.length())));
    }
    if (first == last)
        return {};
    LookupOutcome result = found(QueryForm::PlaceName, u"地名");
    std::vector<std::u16string> places;
    std::vector<std::u16string> codes;
    for (auto at = first; at != last; ++at) {
        const PlaceCode &place = places_[at->second];
        result.places.push_back(place);
        if (std::find(places.begin(), places.end(), place.place) == places.end())
            places.push_back(place.place);
        if (std::find(codes.begin(), codes.end(), place.code) == codes.end())
            codes.push_back(place.code);
    }
    result.place = joined(places);
    result.areaCode = joined(codes);
    result.placeSource = PlaceSource::Builtin;
    return result;
}

}  // namespace zuno::service
