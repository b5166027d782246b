// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "router.h"

#include <boost/beast/http/status.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace zuno::service {

class Site;

inline constexpr std::string_view kLookupPath = "/iii.asp";
inline constexpr std::string_view kDownloadPrefix = "/download/";

// The site's routes, to GET and HEAD: the window's lookup (/iii.asp, GBK text, matched without
// regard to case), the home page, the lookup form's page (/lookup), the JSON API
// (/api/v1/lookup), downloads, the static files and the process's own /healthz, /readyz and
// /metrics; and, to POST, the batch API (/api/v1/lookup/batch) and the home page's upload form
// (/lookup/batch), which answer their bodies as they arrive.
RouteTable siteRoutes(const Site &site);

// An error in the form its audience reads: GBK text for the window, JSON for the API, a small
// Chinese HTML page elsewhere (and when the route is not known, as for the connection's
// refusals: 400, 413, 414, 431).
StringResponse errorResponse(http::status status, unsigned version, Audience audience);

// 413 for a body over a route's limit: a route that takes none says so, one that takes a form
// or JSON names its limit ("4 KiB").
StringResponse bodyTooLargeResponse(size_t bodyLimit, unsigned version, Audience audience);
std::string sizeText(size_t bytes);

}  // namespace zuno::service
