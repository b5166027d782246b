// SPDX-License-Identifier: Apache-2.0
// One client connection: reads requests, has their routes answer them, and hands the answers on.
#pragma once

#include "http/router.h"
#include "server/connection_limits.h"
#include "server/deadlines.h"
#include "server/exchange_log.h"
#include "server/request_head.h"
#include "server/response_writer.h"
#include "server/streamed_answer.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/intrusive/list_hook.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zuno::service {

class Worker;

// One client connection on one worker thread: reads requests one after another (keep-alive),
// finds each one's route, reads its body within the route's limit, has the route answer, now
// or later (while the thread serves other connections), and has the writer send the answers in
// order; a streaming route's exchange is the StreamedAnswer's. Closes on errors, on Connection:
// close, when the server drains, and at its Deadlines, which the worker checks. Keeps itself
// alive through the shared pointers its handlers hold.
class Connection : public std::enable_shared_from_this<Connection>,
                   public boost::intrusive::list_base_hook<>
{
public:
    using Socket = ConnectionSocket;

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
    // The streamed answer reads and answers on this connection's socket, request and plan.
    friend class StreamedAnswer;

    // Waiting: for a route's later answer, with no deadline.
    enum class Phase { Idle, Head, Body, Waiting, Sending, Closing, Closed };

    void readRequest();
    void waitForRequest();
    void readHead();
    void onRequestHead(boost::beast::error_code error);
    void readBody(size_t limit);
    // Reads the body at once, or once the client that expects 100 Continue has been told to send it.
    void continueThen(const http::request_header<> &head, std::function<void()> read);
    void onBody(boost::beast::error_code error);
    void stopSlowBody();
    RouteContext contextOf(const Request &request) const;
    void dispatch();
    void onLaterAnswer(std::optional<Answer> answer);
    void respond(Answer answer, bool keepAlive);
    void refuse(http::status status, unsigned version);
    void endExchange(unsigned status);
    void finish(boost::beast::error_code error);
    void closeGracefully();
    void drain();
    void close();

    Socket socket_;
    Worker &worker_;
    const ConnectionLimits &limits_;
    bool registered_ = false;
    Phase phase_ = Phase::Idle;
    Deadlines deadlines_;

    boost::beast::flat_buffer buffer_;
    size_t emptyLineBytes_ = 0;
    std::optional<http::request_parser<http::string_body>> parser_;
    Request request_;
    // The request's route, as found from its percent-decoded path.
    RequestPlan plan_;
    std::string decodedPath_;  // when the path had escapes
    unsigned answered_ = 0;
    // Counts the exchanges, so that a handler of an ended one does nothing.
    std::uint64_t exchange_ = 0;
    size_t drained_ = 0;
    boost::asio::ip::address peerAddress_;

    ExchangeLog log_;
    ResponseWriter writer_;
    StreamedAnswer streamed_;
};

}  // namespace zuno::service
