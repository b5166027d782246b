#include "connection.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace zuno::service {
namespace {

namespace beast = boost::beast;
using tcp = boost::asio::ip::tcp;

// Room for a whole request head and whatever a pipelining client sent after it.
constexpr size_t kBufferLimit = 64 * 1024;
constexpr size_t kDrainChunk = 4096;
constexpr std::chrono::seconds kDrainTime{2};
constexpr size_t kMaxLoggedTarget = 256;
// Beast's numbering of HTTP versions; a refusal before the request line is read answers in 1.1.
constexpr unsigned kHttp10 = 10;
constexpr unsigned kHttp11 = 11;

bool isParseError(const beast::error_code &error)
{
    return error.category() == beast::http::make_error_code(http::error::bad_target).category();
}

// A request line with control characters or without end must not corrupt the log.
std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text.substr(0, kMaxLoggedTarget)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    if (text.size() > kMaxLoggedTarget)
        out += "...";
    return out;
}

}  // namespace

Connection::Connection(tcp::socket socket, const Site &site, const ConnectionLimits &limits,
                       bool accessLog)
    : stream_(std::move(socket)),
      buffer_(kBufferLimit),
      site_(site),
      limits_(limits),
      accessLog_(accessLog)
{
    if (accessLog_) {
        beast::error_code error;
        const tcp::endpoint peer = stream_.socket().remote_endpoint(error);
        peer_ = error ? std::string("-") : peer.address().to_string();
    }
}

void Connection::start()
{
    // Every handler runs on the connection's own executor, one thread's io_context.
    boost::asio::dispatch(stream_.get_executor(),
                          [self = shared_from_this()] { self->readRequest(); });
}

void Connection::readRequest()
{
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.maxRequestHead));
    stream_.expires_after(limits_.deadline);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                self->onRequestHead(error);
                            });
}

void Connection::onRequestHead(beast::error_code error)
{
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
        // The head did not fit: blame the request line when the parser never got past it.
        const bool requestLineRead = !parser_->get().target().empty();
        refuse(requestLineRead ? http::status::request_header_fields_too_large
                               : http::status::uri_too_long,
               kHttp11);
        return;
    }
    if (error == http::error::end_of_stream || error == http::error::partial_message) {
        closeGracefully();
        return;
    }
    if (error && isParseError(error)) {
        refuse(http::status::bad_request, kHttp11);
        return;
    }
    if (error) {
        // Timed out, reset by the peer, or the server is stopping: nothing left to say.
        beast::error_code ignored;
        stream_.socket().close(ignored);
        return;
    }

    const auto &head = parser_->get();
    if (accessLog_)
        requestLine_ = std::string(head.method_string()) + " " +
            printable(std::string_view(head.target().data(), head.target().size())) +
            (head.version() == kHttp10 ? " HTTP/1.0" : " HTTP/1.1");
    // Nothing here takes a body; refusing it here avoids reading it at all.
    if (!parser_->is_done()) {
        const bool known = head.method() == http::verb::get || head.method() == http::verb::head;
        refuse(known ? http::status::payload_too_large : http::status::method_not_allowed,
               head.version());
        return;
    }
    send(handleRequest(parser_->release(), site_));
}

void Connection::refuse(http::status status, unsigned version)
{
    if (accessLog_ && requestLine_.empty())
        requestLine_ = "-";
    send(errorResponse(status, version, false));
}

void Connection::send(Response response)
{
    // The deadline set before reading the request also covers writing its answer.
    response_.emplace(std::move(response));
    std::visit(
        [this](auto &message) {
            keepAlive_ = message.keep_alive();
            const unsigned status = message.result_int();
            http::async_write(
                stream_, message,
                [self = shared_from_this(), status](beast::error_code error, std::size_t bytes) {
                    self->onWritten(error, bytes, status);
                });
        },
        *response_);
}

void Connection::onWritten(beast::error_code error, std::size_t bytes, unsigned status)
{
    if (accessLog_)
        logRequest(status, bytes);
    response_.reset();
    requestLine_.clear();
    if (error) {
        beast::error_code ignored;
        stream_.socket().close(ignored);
        return;
    }
    if (!keepAlive_) {
        closeGracefully();
        return;
    }
    readRequest();
}

void Connection::closeGracefully()
{
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    // Read what the client still sends until it closes, so that closing with unread data
    // does not reset the connection before the client has read our answer.
    drainBuffer_.resize(kDrainChunk);
    stream_.expires_after(kDrainTime);
    drain();
}

void Connection::drain()
{
    stream_.async_read_some(boost::asio::buffer(drainBuffer_),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                if (error) {
                                    beast::error_code ignored;
                                    self->stream_.socket().close(ignored);
                                    return;
                                }
                                self->drain();
                            });
}

void Connection::logRequest(unsigned status, std::size_t bytes) const
{
    const std::string line = peer_ + " \"" + requestLine_ + "\" " + std::to_string(status) + " " +
        std::to_string(bytes) + "\n";
    // One call per line, so that lines from different threads do not interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace zuno::service
