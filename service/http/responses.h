// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <boost/beast/core/string_type.hpp>

#include <string>
#include <string_view>

namespace zuno::service {

// Beast's string_view and the standard one hold the same two words; Boost 1.74 converts neither.
inline boost::beast::string_view beastView(std::string_view text) { return {text.data(), text.size()}; }
inline std::string_view plainView(boost::beast::string_view text) { return {text.data(), text.size()}; }

inline constexpr std::string_view kLookupContentType = "text/plain; charset=gb2312";
inline constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
inline constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";

// Pages answered anew each time; files revalidated with their ETag; fixed assets kept a day;
// errors and answers about one client's request never kept.
inline constexpr std::string_view kRevalidate = "no-cache";
inline constexpr std::string_view kKeepADay = "public, max-age=86400";
inline constexpr std::string_view kNeverStore = "no-store";

// A whole answer to a request: its status, type, caching and body, with Content-Length.
StringResponse textResponse(http::status status, const Request &request,
                            std::string_view contentType, std::string_view cacheControl,
                            std::string body);

}  // namespace zuno::service
