// SPDX-License-Identifier: Apache-2.0
#include "server/streamed_answer.h"

#include "http/responses.h"
#include "server/connection.h"
#include "server/exchange_log.h"
#include "server/request_head.h"
#include "server/worker.h"
#include "site/error_responses.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include <array>
#include <charconv>
#include <exception>
#include <stdexcept>
#include <utility>

namespace zuno::service {
namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

void StreamedAnswer::start()
{
    Connection &c = connection_;
    // The head stays in the connection's request for the access log and the route; the body
    // goes through pieceParser_.
    c.request_ = Request(http::request_header<>(c.parser_->get().base()));
    const bool bodyDeclared = c.plan_.step == RequestPlan::Step::ReadBody;
    try {
        stream_ = c.plan_.found.route->stream(c.contextOf(c.request_));
    } catch (const std::exception &error) {
        logAnswerError(plainView(c.request_.target()), error);
        c.respond({errorResponse(http::status::internal_server_error, c.request_.version(),
                                 c.plan_.audience),
                   {}},
                  false);
        return;
    }
    if (auto refusal = stream_->refusal(c.request_.version())) {
        stream_.reset();
        // An unread body ends the connection.
        c.respond({std::move(*refusal), {}}, c.plan_.keepAlive && !bodyDeclared);
        return;
    }
    pieceParser_.emplace(std::move(*c.parser_));
    c.parser_.reset();
    pieceParser_->body_limit(c.plan_.bodyLimit);
    piece_ = std::make_unique<char[]>(kPieceSize);
    spool_ = std::make_unique<BodySpool>(c.limits_.bodySpoolBytes);
    headSent_ = false;
    streamState_ = BodyStream::State::NeedInput;
    bodyEnded_ = bodyComplete_ = !bodyDeclared;
    endGiven_ = false;
    waitingForBody_ = false;
    c.phase_ = Connection::Phase::Body;
    c.deadlines_.none();
    if (!bodyDeclared) {
        work();
        return;
    }
    waitingForBody_ = true;
    c.deadlines_.startBodyWindow();
    c.continueThen(pieceParser_->get().base(), [self = c.shared_from_this()] {
        self->streamed_.readPiece();
    });
}

bool StreamedAnswer::sendFirstRowsIfDue(Clock::time_point now)
{
    if (!stream_ || !waitingForBody_ || headSent_ || chunk_.empty() || now < firstRowsDue_)
        return false;
    waitingForBody_ = false;
    writeChunk(false);
    return true;
}

void StreamedAnswer::reset()
{
    stream_.reset();
    spool_.reset();
    // A read still under way holds them until it ends.
    if (!reading_) {
        pieceParser_.reset();
        piece_.reset();
    }
    waitingForBody_ = false;
    discarding_ = answerWritten_ = bodyHeld_ = spoolProblemLogged_ = false;
    chunk_.clear();
    headSent_ = false;
}

void StreamedAnswer::readPiece()
{
    Connection &c = connection_;
    reading_ = true;
    auto &body = pieceParser_->get().body();
    body.data = piece_.get();
    body.size = kPieceSize;
    body.more = true;
    // Whatever part of the body has come, so that rows are answered while the rest arrives.
    http::async_read_some(c.socket_, c.buffer_, *pieceParser_,
                          [self = c.shared_from_this(), exchange = c.exchange_](
                              boost::beast::error_code error, std::size_t) {
                              self->streamed_.onPiece(error, exchange);
                          });
}

void StreamedAnswer::onPiece(boost::beast::error_code error, std::uint64_t exchange)
{
    Connection &c = connection_;
    reading_ = false;
    if (exchange != c.exchange_ || !stream_) {
        // The answer ended before the body did: what the client still sends is drained.
        if (exchange != c.exchange_) {
            pieceParser_.reset();
            piece_.reset();
        }
        if (c.phase_ == Connection::Phase::Closing)
            c.drain();
        return;
    }
    if (c.phase_ == Connection::Phase::Closed)
        return;
    // The piece is full: not an error.
    if (error == http::error::need_buffer)
        error = {};
    const size_t got = kPieceSize - pieceParser_->get().body().size;
    c.deadlines_.bodyBrought(got);
    const bool tooSlow = c.deadlines_.takeBodyTooSlow();
    bool tooLarge = error == http::error::body_limit;
    const bool cutShort = error == http::error::partial_message ||
        error == http::error::end_of_stream || (error && isParseError(error));
    if (error && !tooLarge && !cutShort && !tooSlow) {
        // Timed out, reset by the peer, or the server is stopping.
        c.close();
        return;
    }
    if (discarding_) {
        const bool ended = tooSlow || tooLarge || cutShort || pieceParser_->is_done();
        if (!ended)
            readPiece();
        else if (answerWritten_)
            c.finish({});
        return;
    }
    const BodySpool::Appended appended = got > 0
        ? spool_->append(std::string_view(piece_.get(), got))
        : BodySpool::Appended::Taken;
    const bool overHeld = appended == BodySpool::Appended::OverLimit;
    if (appended == BodySpool::Appended::Held && !bodyHeld_) {
        // Without room to hold the body, it is read only as fast as the answer takes it.
        if (!std::exchange(spoolProblemLogged_, true))
            logAnswerError(plainView(c.request_.target()),
                           std::runtime_error(spool_->fileProblem()));
    }
    if (overHeld && headSent_) {
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
    if (!headSent_ && (tooSlow || tooLarge || (cutShort && error != http::error::partial_message))) {
        stream_.reset();
        c.refuse(tooSlow        ? http::status::request_timeout
                     : tooLarge ? http::status::payload_too_large
                                : http::status::bad_request,
                 c.request_.version());
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

void StreamedAnswer::postWork()
{
    Connection &c = connection_;
    // Other connections of this thread get their turn before the next rows.
    boost::asio::post(c.socket_.get_executor(),
                      [self = c.shared_from_this(), exchange = c.exchange_] {
                          if (exchange == self->exchange_)
                              self->streamed_.work();
                      });
}

void StreamedAnswer::work()
{
    Connection &c = connection_;
    if (c.phase_ == Connection::Phase::Closed || !stream_ || writing_)
        return;
    if (streamState_ == BodyStream::State::NeedInput) {
        try {
            spool_->take(fed_, kPieceSize);
        } catch (const std::exception &error) {
            logAnswerError(plainView(c.request_.target()), error);
            c.close();
            return;
        }
        if (bodyHeld_ && spool_->empty()) {
            bodyHeld_ = false;
            c.deadlines_.startBodyWindow();
            readPiece();
        }
        if (!fed_.empty())
            stream_->feed(fed_);
        // The last bytes and the end together: a body all in can still be refused.
        if (spool_->empty() && bodyEnded_ && !std::exchange(endGiven_, true)) {
            stream_->end(bodyComplete_);
        } else if (fed_.empty() && !bodyEnded_) {
            // Rows made so far go out now, for a client that waits for them before it sends
            // more; the first ones once the body has paused a while (sendFirstRowsIfDue).
            if (!chunk_.empty() && headSent_) {
                writeChunk(false);
                return;
            }
            firstRowsDue_ = Clock::now() + kFirstRowsWait;
            waitingForBody_ = true;
            return;
        }
    }
    if (!headSent_) {
        if (auto refusal = stream_->refusal(c.request_.version())) {
            const bool bodyRead = pieceParser_->is_done() && !reading_;
            stream_.reset();
            c.respond({std::move(*refusal), {}}, c.plan_.keepAlive && bodyRead);
            return;
        }
    }
    try {
        streamState_ = stream_->produce(chunk_, kRowsPerTurn);
    } catch (const std::exception &error) {
        logAnswerError(plainView(c.request_.target()), error);
        if (!headSent_) {
            stream_.reset();
            c.respond({errorResponse(http::status::internal_server_error, c.request_.version(),
                                     c.plan_.audience),
                       {}},
                      false);
        } else {
            c.close();
        }
        return;
    }
    std::array<std::uint64_t, kVerdictCount> verdicts{};
    stream_->takeVerdicts(verdicts);
    for (size_t i = 0; i < kVerdictCount; ++i)
        if (verdicts[i] > 0)
            c.worker_.metrics().lookups[i].add(verdicts[i]);
    const bool done = streamState_ == BodyStream::State::Done;
    if (done || chunk_.size() >= (headSent_ ? kChunkBytes : kFirstAnswerBytes)) {
        writeChunk(done);
        return;
    }
    postWork();
}

void StreamedAnswer::writeChunk(bool last)
{
    Connection &c = connection_;
    chunkFrame_.clear();
    if (!headSent_) {
        Response head = stream_->head(c.request_.version());
        Router::finish(head, c.plan_.audience, c.plan_.keepAlive && !c.worker_.draining(), false);
        auto &message = std::get<StringResponse>(head);
        // HTTP/1.0 has no chunks: the answer ends where the connection does.
        chunked_ = c.request_.version() >= kHttp11;
        if (chunked_)
            message.chunked(true);
        else
            message.keep_alive(false);
        c.writer_.startStreamedHead(message, chunkFrame_);
        headSent_ = true;
    }
    if (chunked_ && !chunk_.empty()) {
        char size[16];
        chunkFrame_.append(size, std::to_chars(size, size + sizeof size, chunk_.size(), 16).ptr);
        chunkFrame_.append("\r\n");
    }
    const std::string_view tail = !chunked_ ? ""
        : last && !chunk_.empty()           ? "\r\n0\r\n\r\n"
        : last                              ? "0\r\n\r\n"
        : !chunk_.empty()                   ? "\r\n"
                                            : "";
    c.phase_ = Connection::Phase::Sending;
    c.deadlines_.awaitSend();
    writing_ = true;
    const std::array<boost::asio::const_buffer, 3> buffers{
        boost::asio::buffer(chunkFrame_), boost::asio::buffer(chunk_),
        boost::asio::buffer(tail.data(), tail.size())};
    c.writer_.writePart(buffers, [self = c.shared_from_this()](boost::beast::error_code error) {
        self->streamed_.onChunkWritten(error);
    });
}

void StreamedAnswer::onChunkWritten(boost::beast::error_code error)
{
    Connection &c = connection_;
    writing_ = false;
    if (error) {
        // The client went away: the work ends with its connection.
        c.close();
        return;
    }
    chunk_.clear();
    if (streamState_ == BodyStream::State::Done) {
        // What is left of a body the answer did not need is not read: the connection ends.
        if (!bodyComplete_ || reading_ || !chunked_)
            c.writer_.endConnection();
        if (discarding_ && reading_) {
            // Ends once the body has been read and dropped.
            answerWritten_ = true;
            c.phase_ = Connection::Phase::Body;
            c.deadlines_.none();
            c.deadlines_.startBodyWindow();
            return;
        }
        c.finish({});
        return;
    }
    c.phase_ = Connection::Phase::Body;
    c.deadlines_.none();
    // The body's window starts again where sending stopped holding it up.
    c.deadlines_.startBodyWindow();
    work();
}

}  // namespace zuno::service
