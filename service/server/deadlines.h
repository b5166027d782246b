// SPDX-License-Identifier: Apache-2.0
// A connection's deadlines: when its current wait ends, a streamed body's pace, a slow send's progress.
#pragma once

#include "server/connection_limits.h"

#include <chrono>
#include <cstdint>

namespace zuno::service {

// The worker looks at these every so often (Worker::sweep); the connection decides what a
// passed deadline means in the step it is at.
class Deadlines
{
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadlines(const ConnectionLimits &limits) : limits_(limits) {}

    // The wait for a request's head, or for a body read whole.
    void awaitRequest() { deadline_ = Clock::now() + limits_.requestTimeout; }
    // Sending: renewed whenever some of the answer goes out.
    void awaitSend() { deadline_ = Clock::now() + limits_.sendStallTimeout; }
    void awaitClosing() { deadline_ = Clock::now() + limits_.closingTime; }
    // While the server itself works, or a streamed body is paced by its window instead.
    void none() { deadline_ = Clock::time_point::max(); }
    bool passed(Clock::time_point now) const { return now >= deadline_; }

    // The system wakes a writer only when much of a large send buffer has drained, so the
    // progress that counts is what the client acknowledged: true, and the send deadline
    // renewed, when it acknowledged more of the written bytes since the last look.
    bool acknowledgedMore(int socket, std::uint64_t written, Clock::time_point now);

    // A streamed body brings at least bodyMinBytes in every bodyWindow.
    void startBodyWindow();
    void bodyBrought(std::uint64_t bytes) { bodyWindowBytes_ += bytes; }
    bool bodyWindowEnded(Clock::time_point now) const { return now >= bodyWindowEnd_; }
    bool bodyBroughtTooLittle() const { return bodyWindowBytes_ < limits_.bodyMinBytes; }

    // Set when a deadline ended the body's read, so that its end is answered 408.
    void markBodyTooSlow() { bodyTooSlow_ = true; }
    bool bodyTooSlow() const { return bodyTooSlow_; }
    bool takeBodyTooSlow();
    void forgetBodyTooSlow() { bodyTooSlow_ = false; }

private:
    const ConnectionLimits &limits_;
    Clock::time_point deadline_ = Clock::time_point::max();
    std::uint64_t acknowledged_ = 0;  // by the client, when last looked at
    Clock::time_point bodyWindowEnd_ = Clock::time_point::max();
    std::uint64_t bodyWindowBytes_ = 0;
    bool bodyTooSlow_ = false;
};

}  // namespace zuno::service
