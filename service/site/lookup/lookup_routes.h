// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "number/data_sets.h"

#include <vector>

namespace zuno::service {

class Site;

// The lookups: the window's (/iii.asp, GBK text), the result page and the JSON API.
Answer windowLookup(const RouteContext &context, const Site &site);
Answer lookupPage(const RouteContext &context, const Site &site);
Answer apiLookup(const RouteContext &context, const Site &site);
Answer apiAbout(const RouteContext &context, const Site &site);

// The built-in data sets and the segment files in force now.
std::vector<DataSet> currentDataSets(const Site &site);

}  // namespace zuno::service
