// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <string_view>

namespace zuno::service {

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The answers about the process rather than the site: /healthz (it runs), /readyz (200 while
// it serves, 503 from the moment it drains) and /metrics (403 to a peer the process does not
// show them to).
Answer healthAnswer(const RouteContext &context);
Answer readinessAnswer(const RouteContext &context);
Answer metricsAnswer(const RouteContext &context);

}  // namespace zuno::service
