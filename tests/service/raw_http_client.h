#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace zuno::test {

struct RawResponse {
    int status = 0;
    std::string head;  // status line and header fields, up to the blank line
    std::string rest;  // everything after the blank line, possibly further responses
    bool closedByServer = false;
};

// Sends bytes exactly as given on a new connection to 127.0.0.1:port and reads until the server
// closes or falls silent for `quiet`; for requests that a real HTTP client would not send.
RawResponse rawExchange(unsigned short port, std::string_view request,
                        std::chrono::milliseconds quiet = std::chrono::milliseconds(1500));

// The value of a header field in a response head, empty when it is not there.
std::string headerValue(const std::string &head, std::string_view name);

}  // namespace zuno::test
