// SPDX-License-Identifier: Apache-2.0
#include "number/area_codes.h"

#include "number/number_types.h"

#include <phonenumbers/phonenumberutil.h>

#include <algorithm>
#include <map>
#include <set>

namespace zuno::service {
namespace {

using i18n::phonenumbers::PhoneNumberUtil;

// A province has at least this many other places whose names begin with its name.
constexpr size_t kPlacesInAProvince = 3;

struct CodePlaces {
    std::string code;                   // without the trunk '0'
    std::vector<std::u16string> names;  // as the geocoder lists them, split at '、'
};

// The province part of a place name: its longest leading part that enough other places begin
// with ("西藏" of "西藏日喀则地区", "吉林省" of "吉林省延边朝鲜族自治州"); empty if none.
std::u16string_view provinceOf(std::u16string_view name, const std::set<std::u16string> &names)
{
    for (size_t length = name.size() - 1; length > 0; --length) {
        const std::u16string_view part = name.substr(0, length);
        const size_t others = std::count_if(names.begin(), names.end(), [&](const auto &other) {
            return other != name && std::u16string_view(other).starts_with(part);
        });
        if (others >= kPlacesInAProvince)
            return part;
    }
    return {};
}

}  // namespace

std::vector<std::u16string> splitPlaces(std::u16string_view list)
{
    std::vector<std::u16string> names;
    for (size_t at = 0; at <= list.size();) {
        const size_t end = std::min(list.find(u'、', at), list.size());
        if (end > at)
            names.emplace_back(list.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

AreaCodes::AreaCodes(const NumberTypes &types,
                     const std::function<std::u16string(const std::string &)> &describe)
{
    // Beijing's 10 and the 2x cities have two-digit codes, all others three digits from 3 to 9.
    std::vector<std::string> candidates{"10"};
    for (int code = 20; code <= 29; ++code)
        candidates.push_back(std::to_string(code));
    for (int code = 300; code <= 999; ++code)
        candidates.push_back(std::to_string(code));

    std::vector<CodePlaces> described;
    for (const std::string &code : candidates) {
        // A code is real when a subscriber number of seven or eight digits makes a fixed line;
        // some codes take subscriber numbers of one leading digit only (0807: 8).
        std::string significant;
        for (char lead = '0'; lead <= '9' && significant.empty(); ++lead)
            for (const char *rest : {"234567", "2345678"})
                if (types.typeOf(code + lead + rest) == PhoneNumberUtil::FIXED_LINE) {
                    significant = code + lead + rest;
                    break;
                }
        if (!significant.empty()) {
            std::u16string place = describe(significant);
            std::vector<std::u16string> names = splitPlaces(place);
            if (!names.empty()) {
                described.push_back({code, std::move(names)});
                byCode_.emplace_back(code, std::move(place));
            }
        }
    }

    std::set<std::u16string> firstNames;
    for (const CodePlaces &entry : described)
        firstNames.insert(entry.names.front());

    // A place's code, and whether the code serves several places. A city named both alone for
    // one code and in the list of a shared one (遵义: 0852 and 0851) kept the old code only for
    // numbers still dialled the old way; the shared code is the one it joined.
    struct PlaceCode {
        std::u16string code;
        bool shared;
    };
    std::map<std::u16string, PlaceCode, std::less<>> codes;
    std::set<std::u16string, std::less<>> ambiguous;
    const auto add = [&](std::u16string place, const std::u16string &code, bool shared) {
        if (ambiguous.contains(place))
            return;
        const auto [at, added] = codes.try_emplace(place, PlaceCode{code, shared});
        if (added || at->second.code == code)
            return;
        if (shared != at->second.shared) {
            if (shared)
                at->second = {code, shared};
            return;
        }
        codes.erase(at);
        ambiguous.insert(std::move(place));
    };
    for (const CodePlaces &entry : described) {
        const std::u16string code = u"0" + std::u16string(entry.code.begin(), entry.code.end());
        const std::u16string &first = entry.names.front();
        const bool shared = entry.names.size() > 1;
        add(first, code, shared);
        // The names after the first are in its province and are listed without it.
        const std::u16string_view province =
            entry.names.size() > 1 ? provinceOf(first, firstNames) : std::u16string_view();
        if (province.empty())
            continue;
        for (size_t i = 1; i < entry.names.size(); ++i)
            add(std::u16string(province) + entry.names[i], code, shared);
    }
    for (const auto &[place, placeCode] : codes)
        byPlace_.emplace_back(place, placeCode.code);
    std::sort(byCode_.begin(), byCode_.end());
}

std::u16string_view AreaCodes::codeOf(std::u16string_view place) const
{
    const auto found = std::lower_bound(
        byPlace_.begin(), byPlace_.end(), place,
        [](const Entry &entry, std::u16string_view key) { return entry.first < key; });
    if (found == byPlace_.end() || found->first != place)
        return {};
    return found->second;
}

std::u16string_view AreaCodes::placeOfCode(std::string_view code) const
{
    const auto found =
        std::lower_bound(byCode_.begin(), byCode_.end(), code,
                         [](const auto &entry, std::string_view key) { return entry.first < key; });
    if (found == byCode_.end() || found->first != code)
        return {};
    return found->second;
}

}  // namespace zuno::service
