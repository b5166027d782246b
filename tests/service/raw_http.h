#pragma once

#include <chrono>
#include <string>
#include <string_view>

// A server's answer as it came off the socket.
struct RawResponse {
    int status = 0;
    std::string head;  // status line and header fields, up to the blank line
    std::string rest;  // everything after the blank line, possibly further responses
    bool closedByServer = false;

    // The value of a header field, empty when it is not there; names compare without regard to
    // case.
    std::string header(std::string_view name) const;
};

// Sends bytes exactly as given on a new connection to 127.0.0.1:port and reads until the server
// closes or falls silent for `quiet`; for requests that a real HTTP client would not send.
RawResponse rawExchange(unsigned short port, std::string_view request,
                        std::chrono::milliseconds quiet = std::chrono::milliseconds(1500));

// A GET with the given extra header lines (each ending in CRLF) that asks the server to close.
RawResponse rawGet(unsigned short port, const std::string &target, const std::string &headers = {});
