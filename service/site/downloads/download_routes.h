// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <string_view>

namespace zuno::service {

class Site;

inline constexpr std::string_view kDownloadPrefix = "/download/";

// A file of the download folder, by name, with ranges and conditional requests.
Answer download(const RouteContext &context, const Site &site);

}  // namespace zuno::service
