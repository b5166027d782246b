// SPDX-License-Identifier: Apache-2.0
// One server thread: its io_context, its connections and their deadlines' sweep.
#pragma once

#include "server/connection.h"
#include "server/metrics.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/list.hpp>

#include <array>
#include <functional>
#include <latch>
#include <memory>
#include <optional>
#include <string>

namespace zuno::service {

// What a server tells its threads, and asks of them.
struct WorkerSetup {
    const Router &router;
    // The server's own state, for the process endpoints; read on the asking thread.
    const ProcessState &process;
    ConnectionLimits limits;
    bool accessLog = false;
    // Called on the worker's thread once it is draining and its last connection has gone.
    std::function<void()> onDrained;
};

// One server thread: its io_context, its connections, its counts. Everything here is touched
// only from that thread, except the metrics (read by a scrape) and the calls marked otherwise.
class Worker
{
public:
    explicit Worker(WorkerSetup setup);
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    boost::asio::io_context &context() { return *context_; }
    ThreadMetrics &metrics() { return metrics_; }
    const ThreadMetrics &metrics() const { return metrics_; }
    const WorkerSetup &setup() const { return setup_; }
    bool draining() const { return draining_; }

    void add(Connection &connection);
    void remove(Connection &connection);

    // Where closing connections read what their clients still send, to drop it: one buffer
    // for all, as the worker's reads never overlap and what they read is never looked at.
    boost::asio::mutable_buffer discardBuffer() { return boost::asio::buffer(discard_); }

    // Runs the io_context on the calling thread until stopped. Counts started down once the
    // thread serves, or, when it cannot, after leaving what failed in startFailure() and
    // returns (nullptr for started: throws instead). After that, an exception from a handler
    // ends only the connection it came from: it is reported and the thread carries on.
    void run(std::latch *started);
    // Empty unless run() could not start; written without allocating, as memory may be out.
    const char *startFailure() const { return startFailure_.data(); }

    // From any thread: idle kept-alive connections close, busy ones close after their answer,
    // and onDrained is called when none is left.
    void startDraining();
    // From any thread: closes every connection (an open exchange gets its access-log line as
    // cut off) and ends run().
    void stop();
    // From any thread, once the worker's thread is stopped: no more onDrained.
    void forgetDrainedCallback() { setup_.onDrained = nullptr; }

private:
    void sweep();
    void reportIfDrained();

    using ConnectionList =
        boost::intrusive::list<Connection, boost::intrusive::constant_time_size<false>>;

    WorkerSetup setup_;
    ThreadMetrics metrics_;
    ConnectionList connections_;
    bool draining_ = false;
    bool drainedReported_ = false;
    size_t closedSinceTrim_ = 0;
    bool sweepArmed_ = false;
    std::array<char, 160> startFailure_{};
    std::array<char, 16 * 1024> discard_;
    // Destroyed before the connections' list: destroying it destroys the connections left.
    std::unique_ptr<boost::asio::io_context> context_;
    std::optional<boost::asio::steady_timer> sweepTimer_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
        keepRunning_;
};

}  // namespace zuno::service
