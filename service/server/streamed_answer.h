// SPDX-License-Identifier: Apache-2.0
// A streaming route's exchange: its body read a piece at a time and fed to the route's
// BodyStream, the rows it makes sent as they come, in chunks (HTTP/1.1) or until the close (1.0).
#pragma once

#include "http/router.h"
#include "server/body_spool.h"

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zuno::service {

class Connection;

// Part of one Connection, on its thread; its handlers hold the connection. The body is read on
// while an answer is sent; what it brings ahead of the answer waits in a BodySpool.
class StreamedAnswer
{
public:
    explicit StreamedAnswer(Connection &connection) : connection_(connection) {}

    // Takes over the request whose head the connection has just read and planned.
    void start();
    bool active() const { return stream_ != nullptr; }
    // Whether the body's pace is being watched: not while an answer is sent (its own deadline
    // governs, the body waits for it), nor while a refusal's or a finished answer's read drains.
    bool bodyWatched() const { return reading_ && !writing_ && stream_ != nullptr; }
    // A read of the body still under way.
    bool reading() const { return reading_; }
    // Sends the first rows once the body has paused long enough; true if it did.
    bool sendFirstRowsIfDue(std::chrono::steady_clock::time_point now);
    // After the exchange: a read still under way keeps its parser and buffer until it ends.
    void reset();

private:
    void readPiece();
    void onPiece(boost::beast::error_code error, std::uint64_t exchange);
    void work();
    void postWork();
    void writeChunk(bool last);
    void onChunkWritten(boost::beast::error_code error);

    Connection &connection_;
    // The body parser (taking over from the connection's after the head), where it reads a
    // piece, the body read but not yet answered, and what it has made to send.
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
    bool headSent_ = false;
    bool chunked_ = false;
};

}  // namespace zuno::service
