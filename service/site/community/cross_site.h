// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "site/community/write_answers.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

struct SiteLabels;

// Which pages may write: this site's own, programs, and the origins the operator listed.
// Whether a write comes from this site's own pages, or from no page at all (a program); a page
// must also reach the site by one of its names (siteNames, as in SiteLabels).
bool fromThisSite(const Request &request, const std::vector<std::string> &siteNames);

// Why a write through the API is not taken as sent: from a page of another site whose origin
// the operator did not list (403), or, for a POST, not sent as application/json (415), which no
// page can send to another origin without the browser asking first.
std::optional<Refusal> apiWriteRefusal(const Request &request, const SiteLabels &labels);
// The answer to a browser's preflight (OPTIONS) of a write: allowed for a listed origin.
StringResponse preflightResponse(const Request &request,
                                 const std::vector<std::string> &corsOrigins);

// The Origin field of a request when it names an origin the operator listed; empty otherwise.
std::string_view listedOrigin(const Request &request, const std::vector<std::string> &corsOrigins);
// The response made readable by a listed origin (Access-Control-Allow-Origin); none when empty.
void allowOrigin(Response &response, std::string_view origin);
// The answer given later, with the listed origin allowed to read it.
LaterAnswer readableBy(std::string origin, LaterAnswer answer);

}  // namespace zuno::service
