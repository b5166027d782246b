#pragma once

#include "request_handler.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace zuno::service {

class Site;

struct ConnectionLimits {
    // Longest request line plus headers; a longer request line gets 414, longer headers 431.
    size_t maxRequestHead = 8 * 1024;
    // Waiting for a request, reading it and writing the answer must finish within this.
    std::chrono::steady_clock::duration deadline = std::chrono::seconds(10);
};

// One client connection: reads requests one after another (keep-alive), answers each through
// handleRequest, refuses request bodies, and closes on errors, on Connection: close and after
// the deadline. Keeps itself alive through the shared pointers its handlers hold.
class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(boost::asio::ip::tcp::socket socket, const Site &site,
               const ConnectionLimits &limits, bool accessLog);

    void start();

private:
    void readRequest();
    void onRequestHead(boost::beast::error_code error);
    void refuse(http::status status, unsigned version);
    void send(Response response);
    void onWritten(boost::beast::error_code error, std::size_t bytes, unsigned status);
    void closeGracefully();
    void drain();
    void logRequest(unsigned status, std::size_t bytes) const;

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<Response> response_;
    std::string drainBuffer_;
    const Site &site_;
    const ConnectionLimits limits_;
    const bool accessLog_;
    bool keepAlive_ = false;
    std::string peer_;
    std::string requestLine_;
};

}  // namespace zuno::service
