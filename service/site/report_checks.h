// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "router.h"

#include <chrono>
#include <string>
#include <string_view>

namespace zuno::service {

class Site;

// Why a report is refused: the status and one sentence for the person who sent it.
struct Refusal {
    http::status status;
    std::string sentence;
    std::chrono::seconds retryAfter{};
};

// The checks and answers every kind of community report shares (labels, places).
StringResponse noStoreResponse(http::status status, unsigned version, std::string_view contentType,
                               std::string body);
// JSON on the API, a page with a way back on the site.
StringResponse refusalResponse(const Refusal &refusal, unsigned version, Audience audience,
                               std::string_view backPath);
Refusal storeUnavailable();
// The network that reports, from the connection or, behind a trusted proxy, its header.
std::string reporterOf(const Site &site, const RouteContext &context);
// A form field's value: '+' is a space, then percent-decoded.
std::string formValue(std::string_view body, std::string_view name);
// Whether a form post comes from this site's own pages.
bool fromThisSite(const Request &request);

}  // namespace zuno::service
