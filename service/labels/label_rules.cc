// SPDX-License-Identifier: Apache-2.0
#include "labels/label_rules.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace zuno::service {
namespace {

constexpr std::int64_t kSecondsADay = 86400;
constexpr std::int64_t kChinaOffset = 8 * 3600;

}  // namespace

Day chinaDay(std::int64_t unixSeconds)
{
    const std::int64_t local = unixSeconds + kChinaOffset;
    return static_cast<Day>(local >= 0 ? local / kSecondsADay
                                       : (local - kSecondsADay + 1) / kSecondsADay);
}

std::int64_t chinaDayStart(Day day) { return std::int64_t{day} * kSecondsADay - kChinaOffset; }

std::string formatDay(Day day)
{
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

std::optional<Day> parseDay(std::string_view text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    const auto number = [&](size_t at, size_t length, auto &value) {
        const char *first = text.data() + at;
        const auto [end, error] = std::from_chars(first, first + length, value);
        return error == std::errc() && end == first + length;
    };
    if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day))
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                                           std::chrono::day{day}};
    if (!date.ok())
        return std::nullopt;
    return static_cast<Day>(std::chrono::sys_days{date}.time_since_epoch().count());
}

std::optional<Label> labelOf(std::span<const ReportFact> reports, Day today,
                             const LabelRules &rules)
{
    std::array<std::uint32_t, kCategoryCount> counts{};
    std::uint32_t recent = 0;
    Day last = 0;
    for (const ReportFact &report : reports) {
        const Day age = today - report.day;
        if (age < 0 || age >= static_cast<Day>(rules.windowDays))
            continue;
        ++counts[static_cast<size_t>(report.category)];
        last = recent == 0 ? report.day : std::max(last, report.day);
        ++recent;
    }
    if (recent == 0 || recent < rules.minReporters)
        return std::nullopt;

    // The negative category most reported, the first listed among equals.
    size_t leading = 0;
    for (size_t i = 1; i + 1 < kCategoryCount; ++i)
        if (counts[i] > counts[leading])
            leading = i;
    const std::uint32_t normal = counts[static_cast<size_t>(Category::Normal)];
    if (counts[leading] == 0)
        return std::nullopt;
    if (normal * 3 >= recent)
        return Label{static_cast<Category>(leading), recent, last, true};
    for (size_t i = 0; i < kCategoryCount; ++i)
        if (i != leading && counts[i] >= counts[leading])
            return std::nullopt;
    return Label{static_cast<Category>(leading), recent, last, false};
}

std::optional<std::string_view> agreedPlace(std::span<const PlaceFact> reports, Day today,
                                            const LabelRules &rules)
{
    std::map<std::string_view, std::uint32_t> counts;
    for (const PlaceFact &report : reports) {
        const Day age = today - report.day;
        if (age >= 0 && age < static_cast<Day>(rules.windowDays))
            ++counts[report.place];
    }
    std::optional<std::string_view> leading;
    std::uint32_t most = 0;
    bool tied = false;
    for (const auto &[place, count] : counts) {
        if (count > most) {
            leading = place;
            most = count;
            tied = false;
        } else if (count == most) {
            tied = true;
        }
    }
    if (tied || most == 0 || most < rules.minReporters)
        return std::nullopt;
    return leading;
}

}  // namespace zuno::service
