#pragma once

#include <zuno/version.h>

#include <boost/beast/http/file_body.hpp>
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
using FileResponse = http::response<http::file_body>;
using Response = std::variant<StringResponse, FileResponse>;

inline constexpr std::string_view kServerName = "zuno-lookupd/" ZUNO_VERSION_TEXT;
inline constexpr std::string_view kLookupPath = "/iii.asp";
inline constexpr std::string_view kDownloadPrefix = "/download/";

// The answer to one request: GET or HEAD of the lookup, the home page or a download; 405 for
// other methods, 404 for other paths, 400 for a target that is not a path. The connection is
// kept open when the request asks for it. Reads the download folder, changes nothing.
Response handleRequest(const Request &request, const Site &site);

// A short plain-text error page, for the socket code's refusals as well (400, 413, 414, 431).
StringResponse errorResponse(http::status status, unsigned version, bool keepAlive);

}  // namespace zuno::service
