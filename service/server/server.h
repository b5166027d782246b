// SPDX-License-Identifier: Apache-2.0
// The server: listening sockets, worker threads, signals, draining and stopping.
#pragma once

#include "http/address_blocks.h"
#include "server/connection.h"
#include "server/worker.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zuno::service {

class DownloadFolder;
class LabelStore;
class Site;

struct ServerOptions {
    boost::asio::ip::tcp::endpoint listen;
    // Listening sockets handed over by systemd; when there are any, listen is not used.
    std::vector<int> listeningSockets;
    unsigned threads = 1;
    bool accessLog = false;
    ConnectionLimits limits;
    // How long a drain waits for answers in flight before it closes what is left.
    std::chrono::steady_clock::duration drainTimeout = std::chrono::seconds(30);
    // Called on SIGHUP, once stopOnSignals has been called: reads again what can be reloaded.
    std::function<void()> onReload;
    // The peers that may read /metrics (--metrics-from); empty: every peer.
    AddressBlocks metricsFrom;
};

// The lookup service on its listening sockets: accepts connections and hands each to a
// Connection on one of its Workers, in turn. Each worker thread runs an io_context of its own,
// so a connection's handlers never need a strand or a lock; workers_[0] also runs the
// acceptors, the signals and the drain. Tells the process endpoints its state.
class Server final : public ProcessState
{
public:
    // Binds and listens at once, or adopts options.listeningSockets; throws
    // boost::system::system_error when it cannot (address in use, permission denied, no such
    // address, a descriptor that is no listening socket, no descriptors left for the threads).
    // Serves the site's routes, or the routes given.
    Server(const Site &site, const ServerOptions &options);
    Server(RouteTable routes, const ServerOptions &options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // The addresses actually listened on, with the port the system chose for port 0.
    std::vector<boost::asio::ip::tcp::endpoint> localEndpoints() const;
    boost::asio::ip::tcp::endpoint localEndpoint() const { return localEndpoints().front(); }

    // From now on, the first of these signals drains the server and a second one stops it at
    // once, however soon they arrive; SIGHUP calls options.onReload, and SIGUSR1 and SIGUSR2
    // are logged and otherwise ignored. Call before telling anyone that the server is ready.
    void stopOnSignals(std::initializer_list<int> signals);

    // Serves on the calling thread and options.threads - 1 more, calling onServing once they
    // all run, until stopped or drained. Throws std::runtime_error, having stopped, when a
    // thread cannot be started.
    void run(const std::function<void()> &onServing = {});

    // Serves on options.threads background threads; for tests and embedding.
    void start();

    // Stops accepting and drops every connection; joins the threads start() made.
    // Safe to call from any thread, more than once.
    void stop();

    // The metrics of every thread and of the process, in Prometheus's text format.
    std::string metricsText() const override;
    // From the moment a drain begins.
    bool draining() const override { return draining_; }
    bool showsMetricsTo(const boost::asio::ip::address &peer) const override
    {
        return options_.metricsFrom.empty() || options_.metricsFrom.contains(peer);
    }

private:
    struct Listener {
        boost::asio::ip::tcp::acceptor acceptor;
        boost::asio::steady_timer retryTimer;
    };

    void accept(Listener &listener);
    void onAccepted(Listener &listener, Worker &worker, boost::system::error_code error,
                    Connection::Socket socket);
    void refuseOne(Listener &listener);
    void beginDrain(const std::string &why);
    void onWorkerDrained();
    void stopWorkers(const char *why);
    void startThreads(size_t first);
    void joinThreads();
    double openConnections() const;

    const Router router_;
    const ServerOptions options_;
    const LabelStore *labels_ = nullptr;
    const SegmentStore *segments_ = nullptr;
    const DownloadFolder *downloads_ = nullptr;  // none: no downloads folder
    const std::chrono::system_clock::time_point started_;
    std::vector<std::unique_ptr<Worker>> workers_;
    // Declared after the workers, whose io_contexts they use, so that they are destroyed first.
    std::vector<std::unique_ptr<Listener>> listeners_;
    boost::asio::signal_set signals_;
    boost::asio::steady_timer drainTimer_;
    std::vector<std::thread> threads_;
    size_t nextWorker_ = 0;
    size_t drainedWorkers_ = 0;
    unsigned signalsReceived_ = 0;
    bool outOfDescriptors_ = false;
    // Held in reserve, so that with every other descriptor in use a connection can still be
    // accepted to be refused rather than left waiting.
    int spareDescriptor_ = -1;
    std::atomic<bool> draining_{false};
    std::atomic<bool> stopped_{false};
};

}  // namespace zuno::service
