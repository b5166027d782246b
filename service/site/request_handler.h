#pragma once

#include "file_range_body.h"

#include <zuno/version.h>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string_view>
#include <variant>

namespace zuno::service {

class Site;

namespace http = boost::beast::http;

using Request = http::request<http::string_body>;
using StringResponse = http::response<http::string_body>;
using FileResponse = http::response<FileRangeBody>;
using Response = std::variant<StringResponse, FileResponse>;

inline constexpr std::string_view kServerName = "zuno-lookupd/" ZUNO_VERSION_TEXT;
inline constexpr std::string_view kLookupPath = "/iii.asp";
inline constexpr std::string_view kDownloadPrefix = "/download/";

// The answer to one request, GET or HEAD: the window's lookup (/iii.asp, GBK text), the home
// page, the lookup form's page (/lookup), the JSON API (/api/v1/lookup), downloads and the
// static files; 405 for other methods, 404 for other paths, 400 for a target that is not a
// path. Every answer carries Date and X-Content-Type-Options; pages carry a
// Content-Security-Policy. The connection is kept open when the request asks for it.
Response handleRequest(const Request &request, const Site &site);

// An error in the form the path's clients read: GBK text for the window's /iii.asp, JSON under
// /api/, a small Chinese HTML page elsewhere (and when the target is not known, as for the
// socket code's refusals: 400, 413, 414, 431).
StringResponse errorResponse(http::status status, unsigned version, bool keepAlive,
                             std::string_view target = {});

}  // namespace zuno::service
