// SPDX-License-Identifier: Apache-2.0
#include "server/worker.h"

#include "log/log_line.h"

#include <boost/asio/post.hpp>

#include <malloc.h>

#include <cstdio>
#include <exception>
#include <thread>

namespace zuno::service {
namespace {

// How often deadlines are checked: the granularity of every connection timeout.
constexpr std::chrono::milliseconds kSweepInterval{100};
// After a burst of this many connections, once they are all gone, free memory goes back to the
// system: the allocator keeps what a flood took otherwise, though nothing uses it.
constexpr size_t kTrimAfterClosed = 256;
constexpr std::chrono::milliseconds kPauseAfterError{10};

}  // namespace

Worker::Worker(WorkerSetup setup)
    : setup_(std::move(setup)),
      metrics_(setup_.router.labels().size()),
      context_(std::make_unique<boost::asio::io_context>(1))
{
    // The timer makes the context open its descriptors now, where a failure is a clean error,
    // rather than at its first connection.
    sweepTimer_.emplace(*context_);
    keepRunning_.emplace(context_->get_executor());
}

Worker::~Worker()
{
    setup_.onDrained = nullptr;
    sweepTimer_.reset();
    keepRunning_.reset();
    context_.reset();
}

void Worker::add(Connection &connection)
{
    connections_.push_back(connection);
    metrics_.connectionsOpened.add();
}

void Worker::remove(Connection &connection)
{
    connections_.erase(connections_.iterator_to(connection));
    metrics_.connectionsClosed.add();
    if (++closedSinceTrim_ >= kTrimAfterClosed && connections_.empty()) {
        closedSinceTrim_ = 0;
        malloc_trim(0);
    }
    if (draining_)
        reportIfDrained();
}

void Worker::run(std::latch *started)
{
    try {
        sweep();
    } catch (const std::exception &error) {
        if (!started)
            throw;
        std::snprintf(startFailure_.data(), startFailure_.size(), "%s", error.what());
        started->count_down();
        return;
    }
    if (started)
        started->count_down();
    while (true) {
        try {
            if (!sweepArmed_)
                sweep();
            context_->run();
            break;
        } catch (const std::exception &error) {
            logLine(LogLevel::Error,
                    std::string("error in a server thread, carrying on: ") + error.what());
            // A failure that repeats (no memory left) must not spin.
            std::this_thread::sleep_for(kPauseAfterError);
        }
    }
}

void Worker::startDraining()
{
    boost::asio::post(*context_, [this] {
        draining_ = true;
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection &connection = *it++;
            connection.closeIfIdle();
        }
        reportIfDrained();
    });
}

void Worker::stop()
{
    boost::asio::post(*context_, [this] {
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection &connection = *it++;
            connection.closeNow();
        }
        context_->stop();
    });
}

void Worker::sweep()
{
    sweepArmed_ = false;
    const auto now = std::chrono::steady_clock::now();
    for (Connection &connection : connections_)
        connection.closeIfExpired(now);
    sweepTimer_->expires_after(kSweepInterval);
    sweepTimer_->async_wait([this](boost::system::error_code error) {
        if (!error)
            sweep();
    });
    sweepArmed_ = true;
}

void Worker::reportIfDrained()
{
    if (connections_.empty() && !drainedReported_ && setup_.onDrained) {
        drainedReported_ = true;
        setup_.onDrained();
    }
}

}  // namespace zuno::service
