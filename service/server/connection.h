// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "server/body_spool.h"
#include "server/metrics.h"
#include "server/request_head.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/intrusive/list_hook.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace zuno::service {

class Worker;

struct ConnectionLimits {
    // Longest request line plus headers; a longer request line gets 414, longer headers 431.
    size_t maxRequestHead = 8 * 1024;
    // From waiting for a request (after accepting, or after the last answer) to its whole head.
    std::chrono::steady_clock::duration requestTimeout = std::chrono::seconds(10);
    // Sending an answer may go on as long as the client acknowledges some of it this often.
    std::chrono::steady_clock::duration sendStallTimeout = std::chrono::seconds(10);
    // After the last answer, what the client still sends is read and dropped for this long and
    // up to closingBytes, so that the answer is not lost to a reset.
    std::chrono::steady_clock::duration closingTime = std::chrono::seconds(2);
    size_t closingBytes = 64 * 1024;
    // A streamed request body must bring bodyMinBytes in every bodyWindow while it is awaited,
    // or it is answered 408; other bodies are read whole within requestTimeout.
    std::chrono::steady_clock::duration bodyWindow = std::chrono::seconds(10);
    size_t bodyMinBytes = 1024;
    // What a streamed body brings ahead of its answer, held (past 64 KiB in a temporary file)
    // while the client takes the answer only after sending all. Past it: 413 before the answer
    // began, a last row after (the rest of the body read and dropped).
    std::uint64_t bodySpoolBytes = std::uint64_t{256} * 1024 * 1024;
};

namespace detail {
// A serializer for each kind of response the site may give, and none while nothing is sent.
template<class Variant> struct SerializerFor;
template<class... Bodies> struct SerializerFor<std::variant<http::response<Bodies>...>> {
    using type = std::variant<std::monostate, http::response_serializer<Bodies>...>;
};
}  // namespace detail

// One client connection on one worker thread: reads requests one after another (keep-alive),
// finds each one's route, reads its body within the route's limit, has the route answer, now
// or later (while the thread serves other connections), and sends the answers in order. Closes
// on errors, on Connection: close, when the server drains, and at the deadlines of
// ConnectionLimits, which the worker checks. Keeps itself alive through the shared pointers its
// handlers hold.
class Connection : public std::enable_shared_from_this<Connection>,
                   public boost::intrusive::list_base_hook<>
{
public:
    using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp,
                                                    boost::asio::io_context::executor_type>;

    Connection(Socket socket, Worker &worker);
    ~Connection();

    void start();

    // On the worker's thread: closes the connection when it waits for a next request that has
    // not begun to arrive.
    void closeIfIdle();
    // On the worker's thread: closes the connection when its current deadline has passed, and
    // sends a streamed answer's first rows once its body has paused long enough.
    void closeIfExpired(std::chrono::steady_clock::time_point now);
    // On the worker's thread, as it stops: closes the connection, logging an open exchange.
    void closeNow() { close(); }

private:
    // Waiting: for a route's later answer, with no deadline.
    enum class Phase { Idle, Head, Body, Waiting, Sending, Closing, Closed };

    void readRequest();
    void waitForRequest();
    void readHead();
    void markReceived();
    void onRequestHead(boost::beast::error_code error);
    void readBody(size_t limit);
    void continueThen(std::function<void()> read);
    RouteContext contextOf(const Request &request) const;
    // A streaming route: the body read a piece at a time, the answer sent a chunk at a time.
    void startStream();
    void readPiece();
    void onPiece(boost::beast::error_code error, std::uint64_t exchange);
    void work();
    void postWork();
    void writeChunk(bool last);
    void onChunkWritten(boost::beast::error_code error, std::size_t bytes);
    void onBody(boost::beast::error_code error);
    bool bodyWatched() const;
    void startBodyWindow();
    void stopSlowBody();
    void dispatch();
    void onLaterAnswer(std::optional<Answer> answer);
    void respond(Answer answer, bool keepAlive);
    void refuse(http::status status, unsigned version);
    void send(Response response);
    void writeFlat();
    void writeSerialized();
    void onWritten(boost::beast::error_code error, std::size_t bytes, bool done);
    void finish(boost::beast::error_code error);
    void endExchange();
    void closeGracefully();
    void drain();
    void close();
    void logRequest();

    Socket socket_;
    Worker &worker_;
    const ConnectionLimits &limits_;
    bool registered_ = false;
    Phase phase_ = Phase::Idle;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();

    boost::beast::flat_buffer buffer_;
    size_t emptyLineBytes_ = 0;
    std::optional<http::request_parser<http::string_body>> parser_;
    Request request_;
    // The request's route, as found from its percent-decoded path.
    RequestPlan plan_;
    std::string decodedPath_;  // when the path had escapes
    std::chrono::steady_clock::time_point requestStart_;
    unsigned answered_ = 0;
    // Counts the exchanges, so that a handler of an ended one does nothing; one is open from
    // its head until it is logged.
    std::uint64_t exchange_ = 0;
    bool exchangeOpen_ = false;
    // The body's progress: what it brought in the current window.
    std::chrono::steady_clock::time_point bodyWindowEnd_ =
        std::chrono::steady_clock::time_point::max();
    std::uint64_t bodyWindowBytes_ = 0;
    bool bodyTooSlow_ = false;

    std::optional<Response> response_;
    detail::SerializerFor<Response>::type serializer_;
    std::string flatHeader_;
    std::string_view flatBody_;
    size_t sentThisResponse_ = 0;
    size_t headerSize_ = 0;
    std::uint64_t written_ = 0;       // on the whole connection
    std::uint64_t acknowledged_ = 0;  // by the client, when last looked at
    unsigned status_ = 0;
    bool keepAlive_ = false;

    size_t drained_ = 0;

    boost::asio::ip::address peerAddress_;

    // The streaming route's state: its body parser (taking over from parser_ after the head),
    // where it reads a piece, the body read but not yet answered, and what it has made to send.
    // The body is read on while an answer is sent.
    std::unique_ptr<BodyStream> stream_;
    std::unique_ptr<BodySpool> spool_;
    std::string fed_;
    bool reading_ = false;
    bool writing_ = false;
    bool bodyEnded_ = false;  // nothing more will be read, whole when bodyComplete_
    bool bodyComplete_ = false;
    bool endGiven_ = false;        // the stream was told
    bool waitingForBody_ = false;  // the answer needs what the client has not yet sent
    std::chrono::steady_clock::time_point firstRowsDue_;
    bool discarding_ = false;     // the body outgrew the spool: the rest is read and dropped
    bool answerWritten_ = false;  // all of the answer is sent; the body is still read
    bool bodyHeld_ = false;       // the spool has no room: reading waits until it is empty
    bool spoolProblemLogged_ = false;
    std::optional<http::request_parser<http::buffer_body>> pieceParser_;
    std::unique_ptr<char[]> piece_;
    std::string chunk_;
    std::string chunkFrame_;
    BodyStream::State streamState_ = BodyStream::State::NeedInput;
    bool streamHeadSent_ = false;
    bool streamChunked_ = false;

    // For the access log only.
    std::string peer_;
    std::string requestLine_;
    std::chrono::system_clock::time_point received_;
};

}  // namespace zuno::service
