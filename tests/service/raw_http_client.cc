#include "raw_http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>

namespace zuno::test {

RawResponse rawExchange(unsigned short port, std::string_view request,
                        std::chrono::milliseconds quiet)
{
    namespace asio = boost::asio;
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(quiet.count() / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((quiet.count() % 1000) * 1000);
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    boost::system::error_code error;
    asio::write(socket, asio::buffer(request.data(), request.size()), error);

    std::string received;
    char chunk[4096];
    RawResponse response;
    // A write error (the server closed early) still leaves its answer to read.
    for (;;) {
        const size_t got = socket.read_some(asio::buffer(chunk), error);
        received.append(chunk, got);
        if (error) {
            response.closedByServer =
                error == asio::error::eof || error == asio::error::connection_reset;
            break;
        }
    }
    const size_t end = received.find("\r\n\r\n");
    response.head = received.substr(0, end);
    response.rest = end == std::string::npos ? std::string() : received.substr(end + 4);
    if (received.starts_with("HTTP/1.") && received.size() > 12)
        response.status = std::stoi(received.substr(9, 3));
    return response;
}

std::string headerValue(const std::string &head, std::string_view name)
{
    size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const size_t lineStart = at + 2;
        const size_t lineEnd = head.find("\r\n", lineStart);
        const std::string line = head.substr(lineStart, lineEnd - lineStart);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon == name.size() &&
            std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return line.substr(line.find_first_not_of(' ', colon + 1));
        at = lineEnd;
    }
    return {};
}

}  // namespace zuno::test
