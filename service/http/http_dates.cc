// SPDX-License-Identifier: Apache-2.0
#include "http/http_dates.h"

#include <cstdio>

namespace zuno::service {

bool formatHttpDate(std::time_t time, char (&text)[kHttpDateSize])
{
    static constexpr const char *kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm parts{};
    if (!gmtime_r(&time, &parts))
        return false;
    // Spelled out rather than strftime'd, so that no locale can change the names.
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                  parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return true;
}

std::string formatHttpDate(std::time_t time)
{
    char text[kHttpDateSize];
    return formatHttpDate(time, text) ? text : std::string();
}

std::optional<std::time_t> parseHttpDate(std::string_view text)
{
    // strptime needs a terminated string, and no date is longer than this.
    if (text.size() > 64)
        return std::nullopt;
    const std::string terminated(text);
    for (const char *format :
         {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
        std::tm parts{};
        const char *end = strptime(terminated.c_str(), format, &parts);
        if (end && *end == '\0') {
            const std::time_t time = timegm(&parts);
            if (time != -1)
                return time;
        }
    }
    return std::nullopt;
}

}  // namespace zuno::service
