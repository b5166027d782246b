// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <string>

namespace zuno::service {

class Site;
struct LookupOutcome;

inline constexpr std::string_view kPlaceFormPath = "/places";
inline constexpr std::string_view kApiPlacesPath = "/api/v1/places";

// The routes that take the community's places of mobile blocks the data names none for: the
// API's POST and DELETE /api/v1/places (JSON) and the result page's form, POST /places (303
// back to the page). They share the reports' checks, limits and store.
RouteTable placeRoutes(const Site &site);

// The result page's form for a mobile number or block whose block has no place; empty for any
// other.
std::string placeFormHtml(const LookupOutcome &outcome);

}  // namespace zuno::service
