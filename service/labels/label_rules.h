// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/categories.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zuno::service {

// Days since 1970-01-01 in China's time (UTC+8), the day a report counts for.
using Day = std::int32_t;
Day chinaDay(std::int64_t unixSeconds);
// The Unix time at which a day begins in China.
std::int64_t chinaDayStart(Day day);
// "2026-12-07".
std::string formatDay(Day day);
// The day of "2026-12-07"; nothing for anything else.
std::optional<Day> parseDay(std::string_view text);

struct LabelRules {
    unsigned minReporters = 3;  // networks with a recent report
    unsigned windowDays = 90;   // a report made windowDays or more days ago no longer counts
};

// One network's report on a number, as the rule sees it.
struct ReportFact {
    Category category;
    Day day;
};

// What the community says of a number.
struct Label {
    Category category;        // the negative category most reported
    std::uint32_t reporters;  // networks with a recent report, of any category
    Day lastReported;
    bool contested;  // 正常来电 holds a third or more of the recent reports
};

// The label of a number from its reports (one per network) on `today`: shown when at least
// minReporters networks reported within the window and one negative category holds more of
// those reports than any other category; contested instead when 正常来电 holds a third or
// more of them and some are negative. Nothing otherwise.
std::optional<Label> labelOf(std::span<const ReportFact> reports, Day today,
                             const LabelRules &rules);

// One network's report of where a number block is.
struct PlaceFact {
    std::string_view place;
    Day day;
};

// The place the community gives a block on `today`: the place most networks reported within
// the window, when at least minReporters did so and no other place has as many. Nothing else.
std::optional<std::string_view> agreedPlace(std::span<const PlaceFact> reports, Day today,
                                            const LabelRules &rules);

}  // namespace zuno::service
