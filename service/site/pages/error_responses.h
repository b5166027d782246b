// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <boost/beast/http/status.hpp>

#include <cstddef>
#include <string>

namespace zuno::service {

// An error in the form its audience reads: GBK text for the window, JSON for the API, a small
// Chinese HTML page elsewhere (and when the route is not known, as for the connection's
// refusals: 400, 413, 414, 431).
StringResponse errorResponse(http::status status, unsigned version, Audience audience);
// 413 for a body over a route's limit: a route that takes none says so, one that takes a form
// or JSON names its limit ("4 KiB").
StringResponse bodyTooLargeResponse(size_t bodyLimit, unsigned version, Audience audience);
std::string sizeText(size_t bytes);

}  // namespace zuno::service
