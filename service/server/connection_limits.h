// SPDX-License-Identifier: Apache-2.0
// How long and how much a connection may take at each step of an exchange.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zuno::service {

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

}  // namespace zuno::service
