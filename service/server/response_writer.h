// SPDX-License-Identifier: Apache-2.0
// Writes a connection's answers: responses in one flat write or through Beast's serializer, a
// streamed answer's parts, and what went out, for the metrics, the log and the send deadline.
#pragma once

#include "http/router.h"
#include "server/deadlines.h"
#include "server/metrics.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/serializer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zuno::service {

using ConnectionSocket =
    boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;

namespace detail {
// A serializer for each kind of response the site may give, and none while nothing is sent.
template<class Variant> struct SerializerFor;
template<class... Bodies> struct SerializerFor<std::variant<http::response<Bodies>...>> {
    using type = std::variant<std::monostate, http::response_serializer<Bodies>...>;
};
}  // namespace detail

// The status line and header fields exactly as Beast's serializer writes them.
void appendHeader(std::string &out, const http::response_header<> &head);

// One answer at a time; the connection hands it the next once onSent has been called. A
// handler holds keep (the connection) so that the writer outlives the writes it started.
class ResponseWriter
{
public:
    using Sent = std::function<void(boost::beast::error_code)>;

    ResponseWriter(ConnectionSocket &socket, ThreadMetrics &metrics, Deadlines &deadlines,
                   bool accessLog, Sent onSent)
        : socket_(socket),
          metrics_(metrics),
          deadlines_(deadlines),
          accessLog_(accessLog),
          onSent_(std::move(onSent))
    {}

    // Writes all of the response, then calls onSent. The last answer of a draining server
    // tells the client that the connection ends.
    void send(Response response, bool draining, std::shared_ptr<void> keep);

    // A streamed answer's head, counted as send() counts a response's, appended to out: the
    // streamed answer writes it with its first part.
    void startStreamedHead(const StringResponse &head, std::string &out);
    // Writes all of a streamed answer's part, then calls then(error) (which holds the connection).
    template<class Buffers, class Then> void writePart(const Buffers &buffers, Then then)
    {
        boost::asio::async_write(socket_, buffers,
                                 [this, then = std::move(then)](boost::beast::error_code error,
                                                                std::size_t bytes) mutable {
                                     sentThisResponse_ += bytes;
                                     count(bytes);
                                     then(error);
                                 });
    }
    // Writes an interim response (100 Continue), then calls then(error).
    template<class Then> void writeInterim(std::string_view text, Then then)
    {
        boost::asio::async_write(socket_, boost::asio::buffer(text.data(), text.size()),
                                 [this, then = std::move(then)](boost::beast::error_code error,
                                                                std::size_t bytes) mutable {
                                     count(bytes);
                                     then(error);
                                 });
    }

    // Whether the answer sent (or being sent) lets the connection go on.
    bool keepAlive() const { return keepAlive_; }
    void endConnection() { keepAlive_ = false; }
    // The answer's status; 0 once the exchange is counted and until the next answer begins.
    unsigned status() const { return status_; }
    void forgetStatus() { status_ = 0; }
    // What the answer's body brought so far, for the access log.
    std::uint64_t bodyBytes() const
    {
        return sentThisResponse_ > headerSize_ ? sentThisResponse_ - headerSize_ : 0;
    }
    // On the whole connection.
    std::uint64_t written() const { return written_; }
    // Lets go of the answer sent.
    void reset();

private:
    void writeFlat(std::shared_ptr<void> keep);
    void writeSerialized(std::shared_ptr<void> keep);
    void onWritten(boost::beast::error_code error, std::size_t bytes, bool done,
                   std::shared_ptr<void> keep);
    void count(std::size_t bytes);

    ConnectionSocket &socket_;
    ThreadMetrics &metrics_;
    Deadlines &deadlines_;
    const bool accessLog_;
    const Sent onSent_;

    std::optional<Response> response_;
    detail::SerializerFor<Response>::type serializer_;
    std::string flatHeader_;
    std::string_view flatBody_;
    size_t sentThisResponse_ = 0;
    size_t headerSize_ = 0;
    std::uint64_t written_ = 0;
    unsigned status_ = 0;
    bool keepAlive_ = false;
};

}  // namespace zuno::service
