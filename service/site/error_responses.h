// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <boost/beast/http/status.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace zuno::service {

inline constexpr std::string_view kProblemContentType = "application/problem+json";

// An API error as a problem detail (RFC 9457): type and code name the error for programs, detail
// is the sentence for people, and error repeats it for the callers that read it before codes.
std::string problemJson(http::status status, std::string_view code, std::string_view detail);
StringResponse problemResponse(http::status status, unsigned version, std::string_view code,
                               std::string_view detail);
// The code of an error its route does not explain further ("not_found", "method_not_allowed").
std::string_view problemCode(http::status status);

// An error in the form its audience reads: GBK text for the window, JSON for the API, a small
// Chinese HTML page elsewhere (and when the route is not known, as for the connection's
// refusals: 400, 413, 414, 431).
StringResponse errorResponse(http::status status, unsigned version, Audience audience);
// 413 for a body over a route's limit: a route that takes none says so, one that takes a form
// or JSON names its limit ("4 KiB").
StringResponse bodyTooLargeResponse(size_t bodyLimit, unsigned version, Audience audience);
std::string sizeText(size_t bytes);

}  // namespace zuno::service
