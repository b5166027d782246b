#pragma once

#include "metrics.h"
#include "request_handler.h"

#include <functional>
#include <optional>
#include <string>

namespace zuno::service {

// The answers about the process rather than the site, to GET and HEAD: /healthz (it runs),
// /readyz (200 while it serves, 503 from the moment it drains) and /metrics; nothing for any
// other request.
std::optional<StringResponse> processResponse(const Request &request, Route route, bool draining,
                                              const std::function<std::string()> &metricsText);

}  // namespace zuno::service
