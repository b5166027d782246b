// SPDX-License-Identifier: Apache-2.0
#include "raw_http.h"

#include <boost/algorithm/string/find.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>

namespace asio = boost::asio;

std::string RawResponse::header(std::string_view name) const
{
    const auto found = boost::algorithm::ifind_first(head, "\r\n" + std::string(name) + ':');
    if (found.empty())
        return {};
    const size_t start = head.find_first_not_of(' ', found.end() - head.begin());
    return head.substr(start, head.find("\r\n", start) - start);
}

RawSocket rawConnect(asio::io_context &context, unsigned short port, int receiveBuffer,
                     std::string_view from)
{
    RawSocket socket(context);
    socket.open(asio::ip::tcp::v4());
    if (!from.empty())
        socket.bind({asio::ip::make_address(std::string(from)), 0});
    if (receiveBuffer > 0)
        socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

void rawSend(RawSocket &socket, std::string_view bytes)
{
    boost::system::error_code error;
    asio::write(socket, asio::buffer(bytes), error);
}

std::string readToEnd(RawSocket &socket, boost::system::error_code *ended)
{
    std::string received;
    char chunk[64 * 1024];
    boost::system::error_code error;
    while (!error)
        received.append(chunk, socket.read_some(asio::buffer(chunk), error));
    if (ended)
        *ended = error;
    return received;
}

namespace {

RawResponse exchange(unsigned short port, std::string_view request, std::chrono::milliseconds quiet,
                     std::string_view from)
{
    asio::io_context context;
    RawSocket socket = rawConnect(context, port, 0, from);
    const timeval timeout{quiet.count() / 1000, (quiet.count() % 1000) * 1000};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    // A write error (the server closed early) still leaves its answer to read.
    rawSend(socket, request);
    boost::system::error_code error;
    const std::string received = readToEnd(socket, &error);

    RawResponse response;
    response.closedByServer = error == asio::error::eof || error == asio::error::connection_reset;
    const size_t end = received.find("\r\n\r\n");
    response.head = received.substr(0, end);
    response.rest = end == std::string::npos ? std::string() : received.substr(end + 4);
    if (received.starts_with("HTTP/1.") && received.size() > 12)
        response.status = std::stoi(received.substr(9, 3));
    return response;
}

}  // namespace

RawResponse rawExchange(unsigned short port, std::string_view request,
                        std::chrono::milliseconds quiet)
{
    return exchange(port, request, quiet, {});
}

RawResponse rawRequest(std::string_view from, unsigned short port, std::string_view method,
                       const std::string &target, std::string_view body, const std::string &headers)
{
    return exchange(port,
                    std::string(method) + " " + target + " HTTP/1.1\r\nHost: x\r\n" + headers +
                        "Content-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + std::string(body),
                    std::chrono::milliseconds(5000), from);
}

RawResponse rawGet(unsigned short port, const std::string &target, const std::string &headers)
{
    return rawExchange(
        port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "Connection: close\r\n\r\n");
}

std::string dechunked(std::string_view chunked)
{
    std::string body;
    while (true) {
        const size_t line = chunked.find("\r\n");
        if (line == std::string_view::npos)
            return body;
        const size_t size = std::stoul(std::string(chunked.substr(0, line)), nullptr, 16);
        if (size == 0)
            return body;
        body.append(chunked.substr(line + 2, size));
        chunked.remove_prefix(std::min(chunked.size(), line + 2 + size + 2));
    }
}

double seriesValue(std::string_view metrics, std::string_view series)
{
    const std::string line = "\n" + std::string(series) + " ";
    const size_t at = metrics.find(line);
    return at == std::string_view::npos ? -1
                                        : std::stod(std::string(metrics.substr(at + line.size())));
}
