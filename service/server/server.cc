#include "server.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cerrno>

namespace zuno::service {
namespace {

using tcp = boost::asio::ip::tcp;

// When the process runs out of descriptors, wait a little for connections to close rather
// than retrying the accept in a busy loop.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

}  // namespace

Server::Server(const Site &site, const ServerOptions &options)
    : site_(site),
      options_(options),
      contexts_([count = std::max(1U, options.threads)] {
          std::vector<std::unique_ptr<boost::asio::io_context>> contexts;
          for (unsigned i = 0; i < count; ++i)
              contexts.push_back(std::make_unique<boost::asio::io_context>(1));
          return contexts;
      }()),
      acceptor_(*contexts_.front()),
      retryTimer_(*contexts_.front()),
      signals_(*contexts_.front())
{
    acceptor_.open(options_.listen.protocol());
    acceptor_.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor_.bind(options_.listen);
    acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    // The other contexts have nothing to do until a connection comes; they must not return.
    for (const auto &context : contexts_)
        keepRunning_.push_back(boost::asio::make_work_guard(*context));
}

Server::~Server() { stop(); }

tcp::endpoint Server::localEndpoint() const { return acceptor_.local_endpoint(); }

void Server::stopOnSignals(std::initializer_list<int> signals)
{
    for (const int signal : signals)
        signals_.add(signal);
    signals_.async_wait([this](boost::beast::error_code error, int) {
        if (!error)
            stopContexts();
    });
}

void Server::run()
{
    accept();
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < contexts_.size(); ++i)
        helpers.emplace_back([context = contexts_[i].get()] { context->run(); });
    contexts_.front()->run();
    // Stopped from a signal: the helpers' contexts were stopped with it.
    for (std::thread &helper : helpers)
        helper.join();
}

void Server::start()
{
    accept();
    for (const auto &context : contexts_)
        threads_.emplace_back([context = context.get()] { context->run(); });
}

void Server::stopContexts()
{
    for (const auto &context : contexts_)
        context->stop();
}

void Server::stop()
{
    stopContexts();
    for (std::thread &thread : threads_)
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
    threads_.clear();
}

void Server::accept()
{
    // Runs on contexts_[0] only, so nextContext_ needs no lock.
    boost::asio::io_context &context = *contexts_[nextContext_];
    nextContext_ = (nextContext_ + 1) % contexts_.size();
    acceptor_.async_accept(boost::asio::any_io_executor(context.get_executor()),
                           [this](boost::beast::error_code error, tcp::socket socket) {
                               onAccepted(error, std::move(socket));
                           });
}

void Server::onAccepted(boost::beast::error_code error, tcp::socket socket)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error == boost::asio::error::no_descriptors || error.value() == ENFILE ||
        error == boost::asio::error::no_buffer_space || error == boost::asio::error::no_memory) {
        retryTimer_.expires_after(kAcceptRetryDelay);
        retryTimer_.async_wait([this](boost::beast::error_code waitError) {
            if (!waitError)
                accept();
        });
        return;
    }
    // Any other failure (the client reset before we took it, say) concerns that client alone.
    if (!error)
        std::make_shared<Connection>(std::move(socket), site_, options_.limits, options_.accessLog)
            ->start();
    accept();
}

}  // namespace zuno::service
