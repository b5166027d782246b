#pragma once

#include "download_folder.h"

#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// The window's current version, the one the home page offers.
inline constexpr std::string_view kCurrentWindowVersion = "1.2";

// The home page in UTF-8 HTML: the site's name, the current version, a lookup form that sends
// GET /iii.asp?title=..., and the files offered for download.
std::string homePageHtml(const std::vector<DownloadFile> &downloads);

// For text placed in HTML, in an element or in a quoted attribute.
std::string escapeHtml(std::string_view text);

// For a name placed in a URL path segment: everything but unreserved characters is %XX.
std::string percentEncode(std::string_view text);

}  // namespace zuno::service
