// SPDX-License-Identifier: Apache-2.0
#include "server/connection.h"

#include "http/responses.h"
#include "server/worker.h"
#include "site/error_responses.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/read.hpp>

#include <exception>
#include <limits>
#include <utility>

namespace zuno::service {
namespace {

namespace beast = boost::beast;
using Clock = std::chrono::steady_clock;

// Room for a whole request head and whatever a pipelining client sent after it.
constexpr size_t kBufferLimit = 64 * 1024;
constexpr size_t kReadSize = 8 * 1024;
constexpr std::string_view kContinueExpectation = "100-continue";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// Logged for an exchange that ended before any answer (nginx's "client closed request").
constexpr unsigned kNoAnswerStatus = 499;

// The target of the request line at the start of the buffer, as far as it is there: for a head
// the parser refused before it took the target (a line too long, a version it does not know).
std::string_view targetInLine(const beast::flat_buffer &buffer)
{
    const std::string_view bytes(static_cast<const char *>(buffer.data().data()), buffer.size());
    const size_t space = bytes.find(' ');
    if (space == std::string_view::npos)
        return {};
    const std::string_view rest = bytes.substr(space + 1);
    return rest.substr(0, rest.find_first_of(" \t\r\n"));
}

}  // namespace

Connection::Connection(Socket socket, Worker &worker)
    : socket_(std::move(socket)),
      worker_(worker),
      limits_(worker.setup().limits),
      deadlines_(limits_),
      buffer_(kBufferLimit),
      log_(worker.metrics(), worker.setup().accessLog),
      writer_(socket_, worker.metrics(), deadlines_, worker.setup().accessLog,
              [this](beast::error_code error) { finish(error); }),
      streamed_(*this)
{}

Connection::~Connection()
{
    if (registered_)
        worker_.remove(*this);
}

void Connection::start()
{
    // Every handler runs on the connection's own executor, one worker's io_context.
    boost::asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
        self->worker_.add(*self);
        self->registered_ = true;
        // The last piece of an answer goes out at once instead of waiting for an ACK.
        beast::error_code ignored;
        self->socket_.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
        // The client's network keys its reports; an address unknown (the peer already gone)
        // stays unspecified.
        beast::error_code error;
        const auto peer = self->socket_.remote_endpoint(error);
        if (!error)
            self->peerAddress_ = peer.address();
        if (self->worker_.setup().accessLog)
            self->log_.setPeer(error ? std::string("-") : peer.address().to_string());
        self->readRequest();
    });
}

void Connection::closeIfIdle()
{
    // A request already on its way is read and answered; the answer then closes.
    beast::error_code error;
    if (phase_ == Phase::Idle && answered_ > 0 && socket_.available(error) == 0)
        close();
}

void Connection::closeIfExpired(Clock::time_point now)
{
    if (phase_ == Phase::Closed)
        return;
    if (streamed_.sendFirstRowsIfDue(now))
        return;
    if (streamed_.bodyWatched() && deadlines_.bodyWindowEnded(now)) {
        if (deadlines_.bodyBroughtTooLittle()) {
            stopSlowBody();
            return;
        }
        deadlines_.startBodyWindow();
    }
    if (!deadlines_.passed(now))
        return;
    if (phase_ == Phase::Body && parser_) {
        // A body read whole has requestTimeout for all of it.
        stopSlowBody();
        return;
    }
    if (phase_ == Phase::Sending &&
        deadlines_.acknowledgedMore(socket_.native_handle(), writer_.written(), now))
        return;
    close();
}

void Connection::readRequest()
{
    phase_ = Phase::Idle;
    deadlines_.awaitRequest();
    emptyLineBytes_ = 0;
    if (buffer_.size() == 0)
        waitForRequest();
    else
        readHead();
}

void Connection::waitForRequest()
{
    socket_.async_read_some(buffer_.prepare(std::min(kReadSize, kBufferLimit - buffer_.size())),
                            [self = shared_from_this()](beast::error_code error, std::size_t got) {
                                if (error) {
                                    self->close();
                                    return;
                                }
                                self->buffer_.commit(got);
                                self->readHead();
                            });
}

void Connection::readHead()
{
    phase_ = Phase::Head;
    // Empty lines before a request line are ignored (RFC 9112, section 2.2), within reason.
    while (buffer_.size() > 0) {
        const auto *bytes = static_cast<const char *>(buffer_.data().data());
        const size_t line = bytes[0] == '\n'                              ? 1
            : buffer_.size() >= 2 && bytes[0] == '\r' && bytes[1] == '\n' ? 2
                                                                          : 0;
        if (line == 0)
            break;
        buffer_.consume(line);
        emptyLineBytes_ += line;
    }
    // Refusals before a request line was read answer in HTTP/1.1.
    if (emptyLineBytes_ > limits_.maxRequestHead) {
        log_.received();
        plan_ = {};
        plan_.found.label = worker_.setup().router.otherLabel();
        refuse(http::status::bad_request, kHttp11);
        return;
    }
    if (buffer_.size() == 0 ||
        (buffer_.size() == 1 && *static_cast<const char *>(buffer_.data().data()) == '\r')) {
        waitForRequest();
        return;
    }
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.maxRequestHead));
    // The route's limit is set once it is known; Beast's default (1 MiB) would refuse a larger
    // declared body as malformed (400) while the head is read. Not boost::none: this Beast
    // compares a length with an empty optional as larger.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                self->onRequestHead(error);
                            });
}

void Connection::onRequestHead(beast::error_code error)
{
    log_.received();
    plan_ = {};
    plan_.found.label = worker_.setup().router.otherLabel();
    // A head the parser refused is answered as its path's readers read (JSON on the API).
    if (error) {
        const std::string_view parsed = plainView(parser_->get().target());
        plan_.audience = audienceOfTarget(parsed.empty() ? targetInLine(buffer_) : parsed,
                                          worker_.setup().router);
    }
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
        close();
        return;
    }

    const auto &head = parser_->get();
    log_.open(head);
    plan_ = planRequest(*parser_, worker_.setup().router, decodedPath_);
    if (plan_.step != RequestPlan::Step::Refuse && plan_.found.route->stream) {
        streamed_.start();
        return;
    }
    switch (plan_.step) {
    case RequestPlan::Step::Refuse:
        respond({refusalResponse(plan_, head.version()), {}}, plan_.keepAlive);
        return;
    case RequestPlan::Step::ReadBody: readBody(plan_.bodyLimit); return;
    case RequestPlan::Step::Answer: dispatch(); return;
    }
}

void Connection::stopSlowBody()
{
    // The pending read ends with operation_aborted and answers 408 (or ends a begun answer).
    deadlines_.markBodyTooSlow();
    beast::error_code ignored;
    socket_.cancel(ignored);
}

void Connection::readBody(size_t limit)
{
    phase_ = Phase::Body;
    deadlines_.awaitRequest();
    parser_->body_limit(limit);
    const auto read = [self = shared_from_this()] {
        http::async_read(self->socket_, self->buffer_, *self->parser_,
                         [self](beast::error_code error, std::size_t) { self->onBody(error); });
    };
    continueThen(parser_->get().base(), read);
}

void Connection::continueThen(const http::request_header<> &head, std::function<void()> read)
{
    if (head.version() < kHttp11 ||
        !beast::iequals(head[http::field::expect], beastView(kContinueExpectation))) {
        read();
        return;
    }
    // The client waits for this before it sends the body.
    writer_.writeInterim(kContinue, [self = shared_from_this(), read](beast::error_code error) {
        if (error) {
            self->close();
            return;
        }
        read();
    });
}

void Connection::onBody(beast::error_code error)
{
    if (deadlines_.bodyTooSlow() && phase_ == Phase::Body) {
        refuse(http::status::request_timeout, parser_->get().version());
        return;
    }
    if (error == http::error::body_limit) {
        refuse(http::status::payload_too_large, parser_->get().version());
        return;
    }
    if (error && isParseError(error) && error != http::error::partial_message &&
        error != http::error::end_of_stream) {
        refuse(http::status::bad_request, parser_->get().version());
        return;
    }
    if (error) {
        close();
        return;
    }
    dispatch();
}

RouteContext Connection::contextOf(const Request &request) const
{
    const std::string_view target = plainView(request.target());
    const size_t question = target.find('?');
    return {request,
            plan_.pathDecoded ? std::string_view(decodedPath_) : target.substr(0, question),
            question == std::string_view::npos ? std::string_view() : target.substr(question + 1),
            worker_.setup().process, peerAddress_};
}

void Connection::dispatch()
{
    request_ = parser_->release();
    parser_.reset();
    const std::string_view target = plainView(request_.target());
    const RouteContext context = contextOf(request_);
    const Route &route = *plan_.found.route;
    if (route.answerLater) {
        // No request deadline while the server itself works; the answer sets the next one.
        phase_ = Phase::Waiting;
        deadlines_.none();
        try {
            // Called on the work's thread: back to this connection's own io_context.
            route.answerLater(
                context,
                LaterAnswer([self = shared_from_this(),
                             executor = socket_.get_executor()](std::optional<Answer> answer) {
                    boost::asio::post(executor, [self, answer = std::move(answer)]() mutable {
                        self->onLaterAnswer(std::move(answer));
                    });
                }));
        } catch (const std::exception &error) {
            // The LaterAnswer, dropped unanswered, answers 500.
            logAnswerError(target, error);
        }
        return;
    }
    try {
        respond(route.answer(context), plan_.keepAlive);
    } catch (const std::exception &error) {
        logAnswerError(target, error);
        respond(
            {errorResponse(http::status::internal_server_error, request_.version(), plan_.audience),
             {}},
            false);
    }
}

void Connection::onLaterAnswer(std::optional<Answer> answer)
{
    if (phase_ != Phase::Waiting)
        return;
    if (!answer) {
        respond(
            {errorResponse(http::status::internal_server_error, request_.version(), plan_.audience),
             {}},
            false);
        return;
    }
    respond(std::move(*answer), plan_.keepAlive);
}

void Connection::respond(Answer answer, bool keepAlive)
{
    if (answer.verdict)
        worker_.metrics().lookups[static_cast<size_t>(*answer.verdict)].add();
    Router::finish(answer.response, plan_.audience, keepAlive, plan_.head);
    phase_ = Phase::Sending;
    writer_.send(std::move(answer.response), worker_.draining(), shared_from_this());
}

void Connection::refuse(http::status status, unsigned version)
{
    log_.openRefused();
    plan_.head = false;
    plan_.refusal = status;
    respond({refusalResponse(plan_, version), {}}, false);
}

void Connection::endExchange(unsigned status)
{
    log_.end(plan_.found.label, status, writer_.bodyBytes(), request_);
    writer_.forgetStatus();
}

void Connection::finish(beast::error_code error)
{
    endExchange(writer_.status());
    ++answered_;
    ++exchange_;
    writer_.reset();
    streamed_.reset();
    deadlines_.forgetBodyTooSlow();
    request_ = {};
    log_.forgetRequestLine();
    if (error) {
        close();
        return;
    }
    if (!writer_.keepAlive() || worker_.draining()) {
        closeGracefully();
        return;
    }
    readRequest();
}

void Connection::closeGracefully()
{
    beast::error_code ignored;
    socket_.shutdown(Socket::shutdown_send, ignored);
    // Read what the client still sends, so that closing with unread data does not reset the
    // connection before the client has read the answer; bounded in time and in bytes.
    phase_ = Phase::Closing;
    deadlines_.awaitClosing();
    drained_ = 0;
    // A body read still under way drains when it ends.
    if (!streamed_.reading())
        drain();
}

void Connection::drain()
{
    socket_.async_read_some(worker_.discardBuffer(),
                            [self = shared_from_this()](beast::error_code error, std::size_t got) {
                                self->drained_ += got;
                                if (error || self->drained_ > self->limits_.closingBytes ||
                                    self->phase_ != Phase::Closing) {
                                    self->close();
                                    return;
                                }
                                self->drain();
                            });
}

void Connection::close()
{
    // An exchange cut off (the client gone, a deadline) is logged with what it got.
    if (log_.isOpen())
        endExchange(writer_.status() == 0 ? kNoAnswerStatus : writer_.status());
    phase_ = Phase::Closed;
    deadlines_.none();
    beast::error_code ignored;
    socket_.close(ignored);
}

}  // namespace zuno::service
