// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string_view>

namespace zuno::service {

// Paths of the site's pages, shared by the router and the links in the pages.
inline constexpr std::string_view kLookupPagePath = "/lookup";
inline constexpr std::string_view kApiLookupPath = "/api/v1/lookup";
inline constexpr std::string_view kApiBatchPath = "/api/v1/lookup/batch";
inline constexpr std::string_view kUploadPath = "/lookup/batch";
inline constexpr std::string_view kNumberParameter = "number";

}  // namespace zuno::service
