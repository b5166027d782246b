#pragma once

#include "connection.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

namespace zuno::service {

class Site;

struct ServerOptions {
    boost::asio::ip::tcp::endpoint listen;
    unsigned threads = 1;
    bool accessLog = false;
    ConnectionLimits limits;
};

// The lookup service on one listening socket: accepts connections and hands each to a
// Connection. Each thread runs an io_context of its own and connections are dealt to them in
// turn, so a connection's handlers never need a strand or a lock.
class Server
{
public:
    // Binds and listens at once; throws boost::system::system_error when it cannot
    // (address in use, permission denied, no such address).
    Server(const Site &site, const ServerOptions &options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // The address actually bound, with the port the system chose for port 0.
    boost::asio::ip::tcp::endpoint localEndpoint() const;

    // From now on, any of these signals stops the server as stop() would, however soon it
    // arrives: call before telling anyone that the server is ready.
    void stopOnSignals(std::initializer_list<int> signals);

    // Serves on the calling thread and options.threads - 1 more until stopped.
    void run();

    // Serves on options.threads background threads; for tests and embedding.
    void start();

    // Stops accepting and drops every connection; joins the threads start() made.
    // Safe to call from any thread, more than once.
    void stop();

private:
    void accept();
    void onAccepted(boost::beast::error_code error, boost::asio::ip::tcp::socket socket);

    void stopContexts();

    using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

    const Site &site_;
    const ServerOptions options_;
    // contexts_[0] also runs the acceptor and the signal handling.
    std::vector<std::unique_ptr<boost::asio::io_context>> contexts_;
    std::vector<WorkGuard> keepRunning_;
    size_t nextContext_ = 0;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    boost::asio::signal_set signals_;
    std::vector<std::thread> threads_;
};

}  // namespace zuno::service
