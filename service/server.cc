#include "service/server.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

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
      context_(static_cast<int>(std::max(1U, options.threads))),
      acceptor_(context_),
      retryTimer_(context_),
      signals_(context_)
{
    acceptor_.open(options_.listen.protocol());
    acceptor_.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor_.bind(options_.listen);
    acceptor_.listen(boost::asio::socket_base::max_listen_connections);
}

Server::~Server()
{
    stop();
}

tcp::endpoint Server::localEndpoint() const
{
    return acceptor_.local_endpoint();
}

void Server::stopOnSignals(std::initializer_list<int> signals)
{
    for (const int signal : signals)
        signals_.add(signal);
    signals_.async_wait([this](boost::beast::error_code error, int) {
        if (!error)
            context_.stop();
    });
}

void Server::run()
{
    accept();
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < options_.threads; ++i)
        helpers.emplace_back([this] { context_.run(); });
    context_.run();
    for (std::thread &helper : helpers)
        helper.join();
}

void Server::start()
{
    accept();
    for (unsigned i = 0; i < std::max(1U, options_.threads); ++i)
        threads_.emplace_back([this] { context_.run(); });
}

void Server::stop()
{
    context_.stop();
    for (std::thread &thread : threads_)
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
    threads_.clear();
}

void Server::accept()
{
    // One thread needs no strand: every handler already runs on it, one at a time.
    const boost::asio::any_io_executor executor =
        options_.threads > 1 ? boost::asio::any_io_executor(boost::asio::make_strand(context_))
                             : boost::asio::any_io_executor(context_.get_executor());
    acceptor_.async_accept(executor, [this](boost::beast::error_code error, tcp::socket socket) {
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
