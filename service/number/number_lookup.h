// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/area_codes.h"
#include "number/number_types.h"
#include "number/segment_store.h"
#include "number/verdict.h"

#include <unicode/uversion.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

struct CompiledAnswer;
class CompiledNumbers;

// The verdict as a lower-case label for counting: "found", "too_short", ...
std::string_view verdictName(Verdict verdict);

// The place of numbers that answer the same everywhere in China: short numbers, 400 and 800.
inline constexpr std::u16string_view kNationwide = u"全国统一";
// What renderings show for the place of a valid number whose place the data does not know.
inline constexpr std::u16string_view kNoPlace = u"暂无数据";

// What a title was read as: a whole number (with an extension or not), a mobile number block of
// seven digits, a block's first three or four digits, an area code alone, or a place's name.
enum class QueryForm { Number, Block, BlockPrefix, AreaCode, PlaceName };

// A place and its area code ("010"), or for Hong Kong, Macau and Taiwan their calling code
// ("+852").
struct PlaceCode {
    std::u16string place;
    std::u16string code;

    bool operator==(const PlaceCode &) const = default;
};

// Where the place of an answer comes from: libphonenumber's data compiled in, or a segment file
// the operator loaded (--segments), or places the community agreed on for blocks with none.
enum class PlaceSource { None, Builtin, Segments, Community };

// What a lookup found, one structure for every rendering of it (GBK text, HTML, JSON). Fields
// other than verdict are set only for Found and, as far as the data knows the number, for
// OutsideMainland (number, e164, kind, and the region's name as place: "中国香港", "英国"); they
// are left empty where the data has nothing.
struct LookupOutcome {
    Verdict verdict = Verdict::Invalid;
    std::u16string number;    // China's national format, grouped: "138 0013 8000", "010 1234 5678"
    std::string e164;         // "+8613800138000"; empty for short numbers
    std::u16string place;     // home location: "北京市"; kNationwide for short, 400 and 800
                              // numbers; empty when the data names no place
    std::u16string areaCode;  // "010", of fixed lines and of mobiles whose city has one code
    std::u16string carrier;   // of a mobile, as its number block was allocated: "中国移动"
    bool virtualOperator = false;  // the block is a virtual operator's, on carrier's network
    std::u16string kind;           // "手机号码", "固定电话", "服务号码", ...
    std::u16string owner;  // who answers a service number, or what for: "中国移动客服"
    PlaceSource placeSource = PlaceSource::None;  // None exactly when place is empty
    std::string sourceName;                       // of the segment file the place comes from, UTF-8
    std::string sourceDate;                       // its date, YYYY-MM-DD
    QueryForm form = QueryForm::Number;
    std::u16string extension;       // digits dialled after a fixed line's number: "123"
    std::vector<PlaceCode> places;  // of an area code or a place's name, each on its own

    bool valid() const { return verdict == Verdict::Found; }
    bool operator==(const LookupOutcome &) const = default;
};

class TypedQueries;

// Looks numbers up in libphonenumber's offline data: validity and kind from its patterns for
// China, short numbers from ShortNumberInfo and the service-number table, places in Chinese from
// the offline geocoder, area codes derived from it, carriers from the committed block table;
// mainland mobiles from a table compiled from all of these at build time. What is typed other
// than a whole number (a block, an area code, a place's name, an extension) is read only when
// the whole-number reading fails. Safe to share between threads once built.
class NumberLookup
{
public:
    // segments: the operator's number blocks, consulted before the built-in data for mobiles;
    // it must outlive the lookup. Mainland mobiles are answered from builtinNumbers().
    explicit NumberLookup(const SegmentStore *segments = nullptr);
    // compiled: the table mainland mobiles are answered from; null to ask libphonenumber for
    // every number, as the table's generator and its tests do.
    NumberLookup(const SegmentStore *segments, const CompiledNumbers *compiled);
    ~NumberLookup();
    NumberLookup(const NumberLookup &) = delete;
    NumberLookup &operator=(const NumberLookup &) = delete;

    // A whole number first; only a title that is none is read as a block, an area code, a number
    // with an extension or a place's name.
    LookupOutcome lookup(std::u16string_view title) const;

    const AreaCodes &areaCodes() const { return areaCodes_; }

    // The operator's number blocks it consults; null when none were given.
    const SegmentStore *segments() const { return segments_; }

private:
    LookupOutcome lookupWholeNumber(std::u16string_view title) const;
    LookupOutcome lookupShortNumber(const std::string &digits) const;
    LookupOutcome lookupFullNumber(const std::string &national) const;
    LookupOutcome compiledOutcome(const CompiledAnswer &answer,
                                  const std::string &significant) const;
    // A number of another region: its region's name as place, its kind where libphonenumber
    // knows it; nothing but the verdict for a country code it does not know.
    LookupOutcome lookupOutsideMainland(const std::string &international) const;
    // What the loaded segment files say of a mobile, over what the built-in data said; true when
    // they gave its place.
    bool applySegments(const std::string &significant, LookupOutcome &result) const;
    std::u16string formatNational(const i18n::phonenumbers::PhoneNumber &number,
                                  const std::string &significant, int type) const;
    // The geocoder's place for a number, empty where it knows only the country.
    std::u16string placeOf(const i18n::phonenumbers::PhoneNumber &number) const;

    const i18n::phonenumbers::PhoneNumberUtil &util_;
    NumberTypes types_;
    std::unique_ptr<const i18n::phonenumbers::ShortNumberInfo> shortNumbers_;
    std::unique_ptr<const i18n::phonenumbers::PhoneNumberOfflineGeocoder> geocoder_;
    std::unique_ptr<const icu::Locale> chinese_;
    std::string countryName_;  // what the geocoder says where it knows no place, UTF-8
    AreaCodes areaCodes_;
    const SegmentStore *segments_;
    const CompiledNumbers *compiled_;
    std::unique_ptr<const TypedQueries> typedQueries_;
};

}  // namespace zuno::service
