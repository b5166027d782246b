// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

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

using RawSocket = boost::asio::ip::tcp::socket;

// A connection to 127.0.0.1:port; a small receive buffer makes the server's writes wait on it.
// From the local address `from` when given: 127.0.N.1 is a network of its own.
RawSocket rawConnect(boost::asio::io_context &context, unsigned short port, int receiveBuffer = 0,
                     std::string_view from = {});

// METHOD target with a body, from the local address `from`, asking the server to close.
RawResponse rawRequest(std::string_view from, unsigned short port, std::string_view method,
                       const std::string &target, std::string_view body = {},
                       const std::string &headers = {});

// Writes all of bytes, or as much as the peer takes before it closes.
void rawSend(RawSocket &socket, std::string_view bytes);

// Everything the peer sends until it closes, resets or (with a receive timeout) falls silent;
// how it ended goes to `ended`.
std::string readToEnd(RawSocket &socket, boost::system::error_code *ended = nullptr);

// A chunked body with its chunks' framing removed; what follows the last chunk is dropped.
std::string dechunked(std::string_view chunked);

// The value of one series in Prometheus text, -1 when it is not there.
double seriesValue(std::string_view metrics, std::string_view series);
