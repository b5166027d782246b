// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <string_view>

namespace zuno::service {

class Site;

inline constexpr std::string_view kLookupPath = "/iii.asp";

// The site's routes, to GET and HEAD: the window's lookup (/iii.asp, GBK text, matched without
// regard to case), the home page, the lookup form's page (/lookup), the JSON API
// (/api/v1/lookup), downloads, the static files and the process's own /healthz, /readyz and
// /metrics; and, to POST, the batch API (/api/v1/lookup/batch) and the home page's upload form
// (/lookup/batch), which answer their bodies as they arrive; the community's reports and places.
RouteTable siteRoutes(const Site &site);

}  // namespace zuno::service
