// SPDX-License-Identifier: Apache-2.0
#include "number/segment_table.h"

#include "text/utf8.h"

#include <malloc.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <unordered_map>

namespace zuno::service {
namespace {

constexpr std::string_view kSourcePrefix = "# source: ";
constexpr std::string_view kDateMark = "; date: ";
constexpr std::string_view kHeader = "prefix,province,city,area_code,carrier,virtual";
constexpr size_t kFields = 6;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The provincial-level divisions by full name, and how a place in each is written: municipalities
// by their own name alone, autonomous regions by their short name, as the built-in data does.
struct Province {
    std::u16string_view name;
    std::u16string_view placeName;
    bool municipality;
};
constexpr Province kProvinces[] = {
    {u"北京市", u"北京市", true},
    {u"天津市", u"天津市", true},
    {u"上海市", u"上海市", true},
    {u"重庆市", u"重庆市", true},
    {u"河北省", u"河北省", false},
    {u"山西省", u"山西省", false},
    {u"辽宁省", u"辽宁省", false},
    {u"吉林省", u"吉林省", false},
    {u"黑龙江省", u"黑龙江省", false},
    {u"江苏省", u"江苏省", false},
    {u"浙江省", u"浙江省", false},
    {u"安徽省", u"安徽省", false},
    {u"福建省", u"福建省", false},
    {u"江西省", u"江西省", false},
    {u"山东省", u"山东省", false},
    {u"河南省", u"河南省", false},
    {u"湖北省", u"湖北省", false},
    {u"湖南省", u"湖南省", false},
    {u"广东省", u"广东省", false},
    {u"海南省", u"海南省", false},
    {u"四川省", u"四川省", false},
    {u"贵州省", u"贵州省", false},
    {u"云南省", u"云南省", false},
    {u"陕西省", u"陕西省", false},
    {u"甘肃省", u"甘肃省", false},
    {u"青海省", u"青海省", false},
    {u"台湾省", u"中国台湾", false},
    {u"内蒙古自治区", u"内蒙古", false},
    {u"广西壮族自治区", u"广西", false},
    {u"西藏自治区", u"西藏", false},
    {u"宁夏回族自治区", u"宁夏", false},
    {u"新疆维吾尔自治区", u"新疆", false},
    {u"香港特别行政区", u"中国香港", false},
    {u"澳门特别行政区", u"中国澳门", false},
};
static_assert(std::size(kProvinces) == 34);

bool allDigits(std::string_view text)
{
    return !text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isDate(std::string_view text)
{
    unsigned year = 0, month = 0, day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !allDigits(text.substr(0, 4)) ||
        !allDigits(text.substr(5, 2)) || !allDigits(text.substr(8, 2)))
        return false;
    std::from_chars(text.data(), text.data() + 4, year);
    std::from_chars(text.data() + 5, text.data() + 7, month);
    std::from_chars(text.data() + 8, text.data() + 10, day);
    return std::chrono::year_month_day(std::chrono::year(static_cast<int>(year)),
                                       std::chrono::month(month), std::chrono::day(day))
        .ok();
}

std::u16string placeOf(std::u16string_view province, std::u16string_view city)
{
    const auto found = std::find_if(std::begin(kProvinces), std::end(kProvinces),
                                    [&](const Province &p) { return p.name == province; });
    if (found == std::end(kProvinces))
        return std::u16string(city);
    if (found->municipality || city.empty())
        return std::u16string(found->placeName);
    if (city.starts_with(found->placeName))
        return std::u16string(city);
    return std::u16string(found->placeName) + std::u16string(city);
}

}  // namespace

std::vector<std::u16string_view> provinceNames()
{
    std::vector<std::u16string_view> names;
    for (const Province &province : kProvinces)
        names.push_back(province.name);
    return names;
}

std::optional<std::u16string> provincialPlace(std::u16string_view province,
                                              std::u16string_view city)
{
    if (std::none_of(std::begin(kProvinces), std::end(kProvinces),
                     [&](const Province &p) { return p.name == province; }))
        return std::nullopt;
    return placeOf(province, city);
}

std::shared_ptr<const SegmentTable>
SegmentTable::load(const std::vector<std::filesystem::path> &files)
{
    auto table = std::make_shared<SegmentTable>();
    for (const std::filesystem::path &file : files)
        table->read(file);
    for (std::vector<Row> &rows : table->byLength_) {
        // Stable, so that of rows with one prefix the last read, a later file's, comes last.
        std::stable_sort(rows.begin(), rows.end());
        const auto last = [](const Row &a, const Row &b) { return a.prefix == b.prefix; };
        std::vector<Row> kept;
        kept.reserve(rows.size());
        for (size_t i = 0; i < rows.size(); ++i)
            if (i + 1 == rows.size() || !last(rows[i], rows[i + 1]))
                kept.push_back(rows[i]);
        kept.shrink_to_fit();
        rows = std::move(kept);
    }
    table->places_.shrink_to_fit();
    // The file's text and the duplicate check were several times the table: give that memory
    // back to the system rather than keep it in the heap until the next reload.
    malloc_trim(0);
    return table;
}

void SegmentTable::read(const std::filesystem::path &file)
{
    const std::string path = file.string();
    const auto refuse = [&](size_t line, const std::string &why) {
        return SegmentFileError(path + (line > 0 ? ":" + std::to_string(line) : std::string()) +
                                ": " + why);
    };
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw refuse(0, "cannot be read");
    if (sources_.size() >= UINT16_MAX)
        throw refuse(0, "too many segment files");

    SegmentSource source;
    source.path = path;
    const auto sourceIndex = static_cast<std::uint16_t>(sources_.size());
    std::unordered_map<std::u16string, std::uint32_t> interned;
    // Where this file's rows begin, to look for a prefix given twice among them at the end.
    std::array<size_t, kLongestPrefix - kShortestPrefix + 1> firstRow{};
    for (size_t length = 0; length < firstRow.size(); ++length)
        firstRow[length] = byLength_[length].size();

    // Line by line, so that a large file is never held whole.
    std::string buffer;
    size_t number = 0;
    while (std::getline(in, buffer)) {
        ++number;
        std::string_view line(buffer);
        if (number == 1 && line.starts_with(kBom))
            line.remove_prefix(kBom.size());
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (!decodeUtf8(line))
            throw refuse(number, "not UTF-8");

        if (number == 1) {
            const size_t mark = line.find(kDateMark);
            if (!line.starts_with(kSourcePrefix) || mark == std::string_view::npos ||
                mark == kSourcePrefix.size())
                throw refuse(number, "the first line must be \"# source: NAME; date: YYYY-MM-DD\"");
            source.name =
                std::string(line.substr(kSourcePrefix.size(), mark - kSourcePrefix.size()));
            source.date = std::string(line.substr(mark + kDateMark.size()));
            if (!isDate(source.date))
                throw refuse(number, "bad date \"" + source.date + "\": write YYYY-MM-DD");
            continue;
        }
        if (number == 2) {
            if (line != kHeader)
                throw refuse(number, "the header must be \"" + std::string(kHeader) + "\"");
            continue;
        }

        std::array<std::string_view, kFields> fields;
        size_t count = 0;
        for (size_t at = 0;; ++count) {
            const size_t comma = line.find(',', at);
            if (count < kFields)
                fields[count] =
                    line.substr(at, comma == std::string_view::npos ? line.npos : comma - at);
            if (comma == std::string_view::npos) {
                ++count;
                break;
            }
            at = comma + 1;
        }
        if (count != kFields)
            throw refuse(number,
                         "truncated or wrong number of fields: " + std::to_string(count) +
                             " instead of " + std::to_string(kFields));
        const auto [prefix, province, city, areaCode, carrier, isVirtual] = fields;
        if (prefix.size() < kShortestPrefix || prefix.size() > kLongestPrefix ||
            !allDigits(prefix) || !prefix.starts_with('1'))
            throw refuse(number,
                         "bad prefix \"" + std::string(prefix) +
                             "\": 3 to 7 digits of a mobile number, starting with 1");
        const std::u16string provinceText = *decodeUtf8(province);
        if (!provinceText.empty() &&
            std::none_of(std::begin(kProvinces), std::end(kProvinces),
                         [&](const Province &p) { return p.name == provinceText; }))
            throw refuse(number,
                         "unknown province \"" + std::string(province) +
                             "\": give a provincial-level division by its full name");
        if (!areaCode.empty() &&
            (areaCode.size() < 3 || areaCode.size() > 4 || !areaCode.starts_with('0') ||
             !allDigits(areaCode)))
            throw refuse(number, "bad area code \"" + std::string(areaCode) + "\"");
        if (isVirtual != "" && isVirtual != "0" && isVirtual != "1")
            throw refuse(number, "bad virtual \"" + std::string(isVirtual) + "\": 0, 1 or empty");

        std::uint32_t value = 0;
        std::from_chars(prefix.data(), prefix.data() + prefix.size(), value);

        SegmentPlace place{
            placeOf(provinceText, *decodeUtf8(city)), *decodeUtf8(areaCode), *decodeUtf8(carrier),
            static_cast<std::int8_t>(isVirtual.empty() ? -1 : isVirtual == "1"), sourceIndex};
        // One key for all of a place's text, so that 500,000 rows share a few thousand places.
        std::u16string key = place.place + u'\t' + place.areaCode + u'\t' + place.carrier + u'\t' +
            static_cast<char16_t>(u'1' + place.virtualOperator);
        const auto [at, added] =
            interned.try_emplace(std::move(key), static_cast<std::uint32_t>(places_.size()));
        if (added)
            places_.push_back(std::move(place));
        byLength_[prefix.size() - kShortestPrefix].push_back({value, at->second});
        ++source.rows;
    }
    if (in.bad())
        throw refuse(0, "cannot be read");
    if (number < 2)
        throw refuse(number + 1, number == 0 ? "empty file" : "no header line");
    for (size_t length = 0; length < firstRow.size(); ++length) {
        std::vector<Row> &rows = byLength_[length];
        const auto begin = rows.begin() + static_cast<std::ptrdiff_t>(firstRow[length]);
        std::sort(begin, rows.end());
        const auto twice = std::adjacent_find(
            begin, rows.end(), [](const Row &a, const Row &b) { return a.prefix == b.prefix; });
        if (twice == rows.end())
            continue;
        // Rare: read the file again for the two lines that give the prefix.
        const std::string digits = std::to_string(twice->prefix);
        std::ifstream again(file, std::ios::binary);
        std::vector<size_t> lines;
        for (size_t at = 1; lines.size() < 2 && std::getline(again, buffer); ++at)
            if (buffer.starts_with(digits + ","))
                lines.push_back(at);
        throw refuse(lines.size() == 2 ? lines[1] : 0,
                     "duplicate prefix " + digits +
                         (lines.empty() ? "" : ", first on line " + std::to_string(lines[0])));
    }
    sources_.push_back(std::move(source));
}

const SegmentPlace *SegmentTable::find(std::string_view significant) const
{
    if (significant.size() < kShortestPrefix)
        return nullptr;
    std::uint32_t value = 0;
    const size_t longest = std::min(kLongestPrefix, significant.size());
    std::array<std::uint32_t, kLongestPrefix + 1> prefixes{};
    for (size_t length = 1; length <= longest; ++length) {
        const char digit = significant[length - 1];
        if (digit < '0' || digit > '9')
            return nullptr;
        value = value * 10 + static_cast<std::uint32_t>(digit - '0');
        prefixes[length] = value;
    }
    for (size_t length = longest; length >= kShortestPrefix; --length) {
        const std::vector<Row> &rows = byLength_[length - kShortestPrefix];
        if (rows.empty())
            continue;
        const auto found = std::lower_bound(rows.begin(), rows.end(), Row{prefixes[length], 0});
        if (found != rows.end() && found->prefix == prefixes[length])
            return &places_[found->place];
    }
    return nullptr;
}

size_t SegmentTable::rows() const
{
    size_t total = 0;
    for (const std::vector<Row> &rows : byLength_)
        total += rows.size();
    return total;
}

size_t SegmentTable::bytes() const
{
    size_t total = sizeof(*this);
    for (const std::vector<Row> &rows : byLength_)
        total += rows.capacity() * sizeof(Row);
    for (const SegmentPlace &place : places_)
        total += sizeof(place) +
            (place.place.capacity() + place.areaCode.capacity() + place.carrier.capacity()) *
                sizeof(char16_t);
    return total;
}

}  // namespace zuno::service
