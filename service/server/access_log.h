// SPDX-License-Identifier: Apache-2.0
// The access log's line of an answered request, in the combined log format.
#pragma once

#include <boost/beast/http/message.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuno::service {

struct AccessRecord {
    std::string_view client;       // address of the peer, "-" when unknown
    std::string_view requestLine;  // as received, made printable; "-" when none was read
    unsigned status = 0;
    std::uint64_t bodyBytes = 0;
    std::string_view referer;
    std::string_view userAgent;
    std::chrono::system_clock::time_point received;
    std::chrono::microseconds taken{0};
};

// One line of the combined log format, then the time taken in microseconds (Apache's %D), without
// its line break:
//   127.0.0.1 - - [10/Oct/2024:13:55:36 +0000] "GET / HTTP/1.1" 200 2326 "-" "curl/7.88" 183
// Quotes, backslashes and control characters in the quoted fields are written as \xHH.
std::string accessLogLine(const AccessRecord &record);

// A request line or header value as it may appear in the log: escaped and cut to a length.
std::string printable(std::string_view text);

// The request line as the log shows it: the method, the target made printable, the version.
std::string loggedRequestLine(const boost::beast::http::request_header<> &head);

// Writes the access-log line of an answered request to the service's log; the record's
// referer and user agent are taken from the request's header.
void logAccess(const boost::beast::http::request_header<> &request, AccessRecord record);

}  // namespace zuno::service
