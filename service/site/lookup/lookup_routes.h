// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "number/data_sets.h"

#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

class Site;

// The window's answer to the raw (still escaped) value of its title parameter: decoded, looked
// up with the site's data and labels, and written in GBK; and the lookup's verdict.
struct WindowReply {
    std::string body;
    Verdict verdict;
};
WindowReply windowReply(const Site &site, std::string_view rawTitle);

// The lookups: the window's (/iii.asp, GBK text), the result page and the JSON API.
Answer windowLookup(const RouteContext &context, const Site &site);
Answer lookupPage(const RouteContext &context, const Site &site);
Answer apiLookup(const RouteContext &context, const Site &site);
Answer apiAbout(const RouteContext &context, const Site &site);

// The built-in data sets and the segment files in force now.
std::vector<DataSet> currentDataSets(const Site &site);

}  // namespace zuno::service
