// SPDX-License-Identifier: Apache-2.0
#include "server/connection.h"

#include "log/log_line.h"
#include "server/access_log.h"
#include "server/request_head.h"
#include "server/worker.h"
#include "site/pages/error_responses.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <array>
#include <charconv>
#include <exception>
#include <limits>
#include <type_traits>
#include <utility>

namespace zuno::service {
namespace {

namespace beast = boost::beast;
using Clock = std::chrono::steady_clock;

// Room for a whole request head and whatever a pipelining client sent after it.
constexpr size_t kBufferLimit = 64 * 1024;
constexpr size_t kReadSize = 8 * 1024;
// Beast's numbering of HTTP versions; a refusal before the request line is read answers in 1.1.
constexpr unsigned kHttp11 = 11;
constexpr std::string_view kContinueExpectation = "100-continue";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// A streamed body is read this much at a time, and answered at most this many rows a turn
// (a lookup takes some microseconds): then the thread serves other connections. Rows are sent
// once this many bytes have gathered, or when more body is needed or the answer is whole.
constexpr size_t kPieceSize = 16 * 1024;
constexpr size_t kRowsPerTurn = 64;
constexpr size_t kChunkBytes = 32 * 1024;
// The first rows wait for this much, the body's end, or a pause in the body: a form sent whole
// that goes bad is then refused instead of ending a begun answer with a row.
constexpr size_t kFirstAnswerBytes = 256 * 1024;
constexpr std::chrono::milliseconds kFirstRowsWait{200};
// Logged for an exchange that ended before any answer (nginx's "client closed request").
constexpr unsigned kNoAnswerStatus = 499;

bool isParseError(const beast::error_code &error)
{
    return error.category() == beast::http::make_error_code(http::error::bad_target).category();
}

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

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

void logError(std::string_view target, const std::exception &error)
{
    logLine(LogLevel::Error, "error answering \"" + printable(target) + "\": " + error.what());
}

// The status line and header fields exactly as Beast's serializer writes them.
void appendHeader(std::string &out, const http::response_header<> &head)
{
    char number[8];
    out.append("HTTP/");
    out += static_cast<char>('0' + head.version() / 10);
    out += '.';
    out += static_cast<char>('0' + head.version() % 10);
    out += ' ';
    out.append(number, std::to_chars(number, number + sizeof number, head.result_int()).ptr);
    out += ' ';
    out.append(view(head.reason()));
    out.append("\r\n");
    for (const auto &field : head) {
        out.append(view(field.name_string()));
        out.append(": ");
        out.append(view(field.value()));
        out.append("\r\n");
    }
    out.append("\r\n");
}

}  // namespace

Connection::Connection(Socket socket, Worker &worker)
    : socket_(std::move(socket)),
      worker_(worker),
      limits_(worker.setup().limits),
      buffer_(kBufferLimit)
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
            self->peer_ = error ? std::string("-") : peer.address().to_string();
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
    if (stream_ && waitingForBody_ && !streamHeadSent_ && !chunk_.empty() && now >= firstRowsDue_) {
        waitingForBody_ = false;
        writeChunk(false);
        return;
    }
    if (bodyWatched() && now >= bodyWindowEnd_) {
        if (bodyWindowBytes_ < limits_.bodyMinBytes) {
            stopSlowBody();
            return;
        }
        startBodyWindow();
    }
    if (now < deadline_)
        return;
    if (phase_ == Phase::Body && parser_) {
        // A body read whole has requestTimeout for all of it.
        stopSlowBody();
        return;
    }
    // The system wakes a writer only when much of a large send buffer has drained, so the
    // progress that counts is what the client acknowledged.
    if (phase_ == Phase::Sending) {
        int unacknowledged = 0;
        if (ioctl(socket_.native_handle(), SIOCOUTQ, &unacknowledged) == 0 &&
            written_ - static_cast<std::uint64_t>(unacknowledged) > acknowledged_) {
            acknowledged_ = written_ - static_cast<std::uint64_t>(unacknowledged);
            deadline_ = now + limits_.sendStallTimeout;
            return;
        }
    }
    close();
}

void Connection::readRequest()
{
    phase_ = Phase::Idle;
    deadline_ = Clock::now() + limits_.requestTimeout;
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
    if (emptyLineBytes_ > limits_.maxRequestHead) {
        markReceived();
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

void Connection::markReceived()
{
    requestStart_ = Clock::now();
    if (worker_.setup().accessLog)
        received_ = std::chrono::system_clock::now();
}

void Connection::onRequestHead(beast::error_code error)
{
    markReceived();
    plan_ = {};
    plan_.found.label = worker_.setup().router.otherLabel();
    // A head the parser refused is answered as its path's readers read (JSON on the API).
    if (error) {
        const std::string_view parsed = view(parser_->get().target());
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
    exchangeOpen_ = true;
    if (worker_.setup().accessLog)
        requestLine_ = loggedRequestLine(head);
    plan_ = planRequest(*parser_, worker_.setup().router, decodedPath_);
    if (plan_.step != RequestPlan::Step::Refuse && plan_.found.route->stream) {
        startStream();
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

bool Connection::bodyWatched() const
{
    // While an answer is being sent, its own deadline governs; the body waits for it. A
    // refusal's or a finished answer's read only drains.
    return reading_ && !writing_ && stream_ != nullptr;
}

void Connection::startBodyWindow()
{
    bodyWindowEnd_ = Clock::now() + limits_.bodyWindow;
    bodyWindowBytes_ = 0;
}

void Connection::stopSlowBody()
{
    // The pending read ends with operation_aborted and answers 408 (or ends a begun answer).
    bodyTooSlow_ = true;
    beast::error_code ignored;
    socket_.cancel(ignored);
}

void Connection::readBody(size_t limit)
{
    phase_ = Phase::Body;
    deadline_ = Clock::now() + limits_.requestTimeout;
    parser_->body_limit(limit);
    const auto read = [self = shared_from_this()] {
        http::async_read(self->socket_, self->buffer_, *self->parser_,
                         [self](beast::error_code error, std::size_t) { self->onBody(error); });
    };
    continueThen(read);
}

void Connection::continueThen(std::function<void()> read)
{
    const auto &head = parser_ ? parser_->get().base() : pieceParser_->get().base();
    if (head.version() < kHttp11 ||
        !beast::iequals(
            head[http::field::expect],
            beast::string_view(kContinueExpectation.data(), kContinueExpectation.size()))) {
        read();
        return;
    }
    // The client waits for this before it sends the body.
    boost::asio::async_write(
        socket_, boost::asio::buffer(kContinue),
        [self = shared_from_this(), read](beast::error_code error, std::size_t bytes) {
            self->written_ += bytes;
            self->worker_.metrics().bytesSent.add(bytes);
            if (error) {
                self->close();
                return;
            }
            read();
        });
}

void Connection::onBody(beast::error_code error)
{
    if (bodyTooSlow_ && phase_ == Phase::Body) {
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
    const std::string_view target = view(request.target());
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
    const std::string_view target = view(request_.target());
    const RouteContext context = contextOf(request_);
    const Route &route = *plan_.found.route;
    if (route.answerLater) {
        // No request deadline while the server itself works; the answer sets the next one.
        phase_ = Phase::Waiting;
        deadline_ = Clock::time_point::max();
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
            logError(target, error);
        }
        return;
    }
    try {
        respond(route.answer(context), plan_.keepAlive);
    } catch (const std::exception &error) {
        logError(target, error);
        respond(
            {errorResponse(http::status::internal_server_error, request_.version(), plan_.audience),
             {}},
            false);
    }
}

void Connection::startStream()
{
    // The head stays in request_ for the access log and the route; the body goes through
    // pieceParser_.
    request_ = Request(http::request_header<>(parser_->get().base()));
    const bool bodyDeclared = plan_.step == RequestPlan::Step::ReadBody;
    try {
        stream_ = plan_.found.route->stream(contextOf(request_));
    } catch (const std::exception &error) {
        logError(view(request_.target()), error);
        respond(
            {errorResponse(http::status::internal_server_error, request_.version(), plan_.audience),
             {}},
            false);
        return;
    }
    if (auto refusal = stream_->refusal(request_.version())) {
        stream_.reset();
        // An unread body ends the connection.
        respond({std::move(*refusal), {}}, plan_.keepAlive && !bodyDeclared);
        return;
    }
    pieceParser_.emplace(std::move(*parser_));
    parser_.reset();
    pieceParser_->body_limit(plan_.bodyLimit);
    piece_ = std::make_unique<char[]>(kPieceSize);
    spool_ = std::make_unique<BodySpool>(limits_.bodySpoolBytes);
    streamHeadSent_ = false;
    streamState_ = BodyStream::State::NeedInput;
    bodyEnded_ = bodyComplete_ = !bodyDeclared;
    endGiven_ = false;
    waitingForBody_ = false;
    phase_ = Phase::Body;
    deadline_ = Clock::time_point::max();
    if (!bodyDeclared) {
        work();
        return;
    }
    waitingForBody_ = true;
    startBodyWindow();
    continueThen([self = shared_from_this()] { self->readPiece(); });
}

void Connection::readPiece()
{
    reading_ = true;
    auto &body = pieceParser_->get().body();
    body.data = piece_.get();
    body.size = kPieceSize;
    body.more = true;
    // Whatever part of the body has come, so that rows are answered while the rest arrives.
    http::async_read_some(
        socket_, buffer_, *pieceParser_,
        [self = shared_from_this(), exchange = exchange_](beast::error_code error, std::size_t) {
            self->onPiece(error, exchange);
        });
}

void Connection::onPiece(beast::error_code error, std::uint64_t exchange)
{
    reading_ = false;
    if (exchange != exchange_ || !stream_) {
        // The answer ended before the body did: what the client still sends is drained.
        if (exchange != exchange_) {
            pieceParser_.reset();
            piece_.reset();
        }
        if (phase_ == Phase::Closing)
            drain();
        return;
    }
    if (phase_ == Phase::Closed)
        return;
    // The piece is full: not an error.
    if (error == http::error::need_buffer)
        error = {};
    const size_t got = kPieceSize - pieceParser_->get().body().size;
    bodyWindowBytes_ += got;
    const bool tooSlow = std::exchange(bodyTooSlow_, false);
    bool tooLarge = error == http::error::body_limit;
    const bool cutShort = error == http::error::partial_message ||
        error == http::error::end_of_stream || (error && isParseError(error));
    if (error && !tooLarge && !cutShort && !tooSlow) {
        // Timed out, reset by the peer, or the server is stopping.
        close();
        return;
    }
    if (discarding_) {
        const bool ended = tooSlow || tooLarge || cutShort || pieceParser_->is_done();
        if (!ended)
            readPiece();
        else if (answerWritten_)
            finish({});
        return;
    }
    const BodySpool::Appended appended = got > 0
        ? spool_->append(std::string_view(piece_.get(), got))
        : BodySpool::Appended::Taken;
    const bool overHeld = appended == BodySpool::Appended::OverLimit;
    if (appended == BodySpool::Appended::Held && !bodyHeld_) {
        // Without room to hold the body, it is read only as fast as the answer takes it.
        if (!std::exchange(spoolProblemLogged_, true))
            logError(view(request_.target()), std::runtime_error(spool_->fileProblem()));
    }
    if (overHeld && streamHeadSent_) {
        // The answer ends with a row where the body outgrew what is held; the rest of the body
        // is read and dropped, so that the client, done sending, reads all of the answer.
        discarding_ = true;
        bodyEnded_ = true;
        readPiece();
        if (std::exchange(waitingForBody_, false))
            work();
        return;
    }
    tooLarge = tooLarge || overHeld;
    if (!streamHeadSent_ &&
        (tooSlow || tooLarge || (cutShort && error != http::error::partial_message))) {
        stream_.reset();
        refuse(tooSlow        ? http::status::request_timeout
                   : tooLarge ? http::status::payload_too_large
                              : http::status::bad_request,
               request_.version());
        return;
    }
    if (tooSlow || tooLarge || cutShort)
        bodyEnded_ = true;
    else if (pieceParser_->is_done())
        bodyEnded_ = bodyComplete_ = true;
    else if (appended == BodySpool::Appended::Held)
        bodyHeld_ = true;  // work() reads on once the answer has taken what waits
    else
        readPiece();
    if (std::exchange(waitingForBody_, false))
        work();
}

void Connection::postWork()
{
    // Other connections of this thread get their turn before the next rows.
    boost::asio::post(socket_.get_executor(), [self = shared_from_this(), exchange = exchange_] {
        if (exchange == self->exchange_)
            self->work();
    });
}

void Connection::work()
{
    if (phase_ == Phase::Closed || !stream_ || writing_)
        return;
    if (streamState_ == BodyStream::State::NeedInput) {
        try {
            spool_->take(fed_, kPieceSize);
        } catch (const std::exception &error) {
            logError(view(request_.target()), error);
            close();
            return;
        }
        if (bodyHeld_ && spool_->empty()) {
            bodyHeld_ = false;
            startBodyWindow();
            readPiece();
        }
        if (!fed_.empty())
            stream_->feed(fed_);
        // The last bytes and the end together: a body all in can still be refused.
        if (spool_->empty() && bodyEnded_ && !std::exchange(endGiven_, true)) {
            stream_->end(bodyComplete_);
        } else if (fed_.empty() && !bodyEnded_) {
            // Rows made so far go out now, for a client that waits for them before it sends
            // more; the first ones once the body has paused a while (closeIfExpired).
            if (!chunk_.empty() && streamHeadSent_) {
                writeChunk(false);
                return;
            }
            firstRowsDue_ = Clock::now() + kFirstRowsWait;
            waitingForBody_ = true;
            return;
        }
    }
    if (!streamHeadSent_) {
        if (auto refusal = stream_->refusal(request_.version())) {
            const bool bodyRead = pieceParser_->is_done() && !reading_;
            stream_.reset();
            respond({std::move(*refusal), {}}, plan_.keepAlive && bodyRead);
            return;
        }
    }
    try {
        streamState_ = stream_->produce(chunk_, kRowsPerTurn);
    } catch (const std::exception &error) {
        logError(view(request_.target()), error);
        if (!streamHeadSent_) {
            stream_.reset();
            respond({errorResponse(http::status::internal_server_error, request_.version(),
                                   plan_.audience),
                     {}},
                    false);
        } else {
            close();
        }
        return;
    }
    std::array<std::uint64_t, kVerdictCount> verdicts{};
    stream_->takeVerdicts(verdicts);
    for (size_t i = 0; i < kVerdictCount; ++i)
        if (verdicts[i] > 0)
            worker_.metrics().lookups[i].add(verdicts[i]);
    const bool done = streamState_ == BodyStream::State::Done;
    if (done || chunk_.size() >= (streamHeadSent_ ? kChunkBytes : kFirstAnswerBytes)) {
        writeChunk(done);
        return;
    }
    postWork();
}

void Connection::writeChunk(bool last)
{
    chunkFrame_.clear();
    if (!streamHeadSent_) {
        Response head = stream_->head(request_.version());
        Router::finish(head, plan_.audience, plan_.keepAlive && !worker_.draining(), false);
        auto &message = std::get<StringResponse>(head);
        // HTTP/1.0 has no chunks: the answer ends where the connection does.
        streamChunked_ = request_.version() >= kHttp11;
        if (streamChunked_)
            message.chunked(true);
        else
            message.keep_alive(false);
        keepAlive_ = message.keep_alive();
        status_ = message.result_int();
        appendHeader(chunkFrame_, message.base());
        headerSize_ = chunkFrame_.size();
        sentThisResponse_ = 0;
        streamHeadSent_ = true;
    }
    if (streamChunked_ && !chunk_.empty()) {
        char size[16];
        chunkFrame_.append(size, std::to_chars(size, size + sizeof size, chunk_.size(), 16).ptr);
        chunkFrame_.append("\r\n");
    }
    const std::string_view tail = !streamChunked_ ? ""
        : last && !chunk_.empty()                 ? "\r\n0\r\n\r\n"
        : last                                    ? "0\r\n\r\n"
        : !chunk_.empty()                         ? "\r\n"
                                                  : "";
    phase_ = Phase::Sending;
    deadline_ = Clock::now() + limits_.sendStallTimeout;
    writing_ = true;
    const std::array<boost::asio::const_buffer, 3> buffers{
        boost::asio::buffer(chunkFrame_), boost::asio::buffer(chunk_),
        boost::asio::buffer(tail.data(), tail.size())};
    boost::asio::async_write(
        socket_, buffers, [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
            self->onChunkWritten(error, bytes);
        });
}

void Connection::onChunkWritten(beast::error_code error, std::size_t bytes)
{
    writing_ = false;
    sentThisResponse_ += bytes;
    written_ += bytes;
    worker_.metrics().bytesSent.add(bytes);
    if (error) {
        // The client went away: the work ends with its connection.
        close();
        return;
    }
    chunk_.clear();
    if (streamState_ == BodyStream::State::Done) {
        // What is left of a body the answer did not need is not read: the connection ends.
        if (!bodyComplete_ || reading_ || !streamChunked_)
            keepAlive_ = false;
        if (discarding_ && reading_) {
            // Ends once the body has been read and dropped.
            answerWritten_ = true;
            phase_ = Phase::Body;
            deadline_ = Clock::time_point::max();
            startBodyWindow();
            return;
        }
        finish({});
        return;
    }
    phase_ = Phase::Body;
    deadline_ = Clock::time_point::max();
    // The body's window starts again where sending stopped holding it up.
    startBodyWindow();
    work();
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
    send(std::move(answer.response));
}

void Connection::refuse(http::status status, unsigned version)
{
    exchangeOpen_ = true;
    if (worker_.setup().accessLog && requestLine_.empty())
        requestLine_ = "-";
    plan_.head = false;
    plan_.refusal = status;
    respond({refusalResponse(plan_, version), {}}, false);
}

void Connection::send(Response response)
{
    phase_ = Phase::Sending;
    deadline_ = Clock::now() + limits_.sendStallTimeout;
    sentThisResponse_ = 0;
    response_.emplace(std::move(response));
    std::visit(
        [this](auto &message) {
            // The last answer of a draining server tells the client that the connection ends.
            if (worker_.draining())
                message.keep_alive(false);
            keepAlive_ = message.keep_alive();
            status_ = message.result_int();
            using Body = typename std::decay_t<decltype(message)>::body_type;
            if constexpr (std::is_same_v<Body, http::string_body>) {
                // A short answer goes out in one write of its header and body, without the
                // serializer's buffer sequences.
                if (!message.chunked()) {
                    flatHeader_.clear();
                    appendHeader(flatHeader_, message.base());
                    headerSize_ = flatHeader_.size();
                    flatBody_ = message.body();
                    writeFlat();
                    return;
                }
            }
            if (worker_.setup().accessLog) {
                flatHeader_.clear();
                appendHeader(flatHeader_, message.base());
                headerSize_ = flatHeader_.size();
            }
            serializer_.template emplace<http::response_serializer<Body>>(message);
            writeSerialized();
        },
        *response_);
}

void Connection::writeFlat()
{
    const size_t sent = sentThisResponse_;
    std::array<boost::asio::const_buffer, 2> buffers;
    if (sent < flatHeader_.size()) {
        buffers[0] = boost::asio::buffer(flatHeader_.data() + sent, flatHeader_.size() - sent);
        buffers[1] = boost::asio::buffer(flatBody_.data(), flatBody_.size());
    } else {
        const size_t bodySent = sent - flatHeader_.size();
        buffers[0] = boost::asio::buffer(flatBody_.data() + bodySent, flatBody_.size() - bodySent);
    }
    socket_.async_write_some(
        buffers, [self = shared_from_this()](beast::error_code error, std::size_t n) {
            const size_t total = self->flatHeader_.size() + self->flatBody_.size();
            self->onWritten(error, n, self->sentThisResponse_ + n >= total);
        });
}

void Connection::writeSerialized()
{
    std::visit(
        [this](auto &serializer) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(serializer)>, std::monostate>) {
                http::async_write_some(socket_, serializer,
                                       [self = shared_from_this(),
                                        &serializer](beast::error_code error, std::size_t n) {
                                           self->onWritten(error, n,
                                                           !error && serializer.is_done());
                                       });
            }
        },
        serializer_);
}

void Connection::onWritten(beast::error_code error, std::size_t bytes, bool done)
{
    sentThisResponse_ += bytes;
    written_ += bytes;
    worker_.metrics().bytesSent.add(bytes);
    if (error || done) {
        finish(error);
        return;
    }
    // Progress, however slow, keeps a large answer going.
    if (bytes > 0)
        deadline_ = Clock::now() + limits_.sendStallTimeout;
    if (std::holds_alternative<std::monostate>(serializer_))
        writeFlat();
    else
        writeSerialized();
}

void Connection::endExchange()
{
    exchangeOpen_ = false;
    worker_.metrics().countRequest(plan_.found.label, status_, Clock::now() - requestStart_);
    if (worker_.setup().accessLog)
        logRequest();
    status_ = 0;
}

void Connection::finish(beast::error_code error)
{
    endExchange();
    ++answered_;
    ++exchange_;
    serializer_.template emplace<std::monostate>();
    response_.reset();
    stream_.reset();
    spool_.reset();
    // A read still under way holds them until it ends.
    if (!reading_) {
        pieceParser_.reset();
        piece_.reset();
    }
    bodyTooSlow_ = false;
    waitingForBody_ = false;
    discarding_ = answerWritten_ = bodyHeld_ = spoolProblemLogged_ = false;
    chunk_.clear();
    streamHeadSent_ = false;
    flatBody_ = {};
    request_ = {};
    requestLine_.clear();
    if (error) {
        close();
        return;
    }
    if (!keepAlive_ || worker_.draining()) {
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
    deadline_ = Clock::now() + limits_.closingTime;
    drained_ = 0;
    // A body read still under way drains when it ends.
    if (!reading_)
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
    if (exchangeOpen_) {
        if (status_ == 0)
            status_ = kNoAnswerStatus;
        endExchange();
    }
    phase_ = Phase::Closed;
    deadline_ = Clock::time_point::max();
    beast::error_code ignored;
    socket_.close(ignored);
}

void Connection::logRequest()
{
    AccessRecord record;
    record.client = peer_;
    record.requestLine = requestLine_;
    record.status = status_;
    record.bodyBytes = sentThisResponse_ > headerSize_ ? sentThisResponse_ - headerSize_ : 0;
    record.received = received_;
    record.taken =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - requestStart_);
    logAccess(request_, record);
}

}  // namespace zuno::service
