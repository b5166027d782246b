// SPDX-License-Identifier: Apache-2.0
#include "server/server.h"

#include "http/http_dates.h"
#include "log/log_line.h"
#include "server/systemd_sockets.h"
#include "site/site.h"
#include "site/site_routes.h"

#include <zuno/version.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <latch>
#include <stdexcept>
#include <system_error>

namespace zuno::service {
namespace {

using tcp = boost::asio::ip::tcp;

// When the process runs out of descriptors and cannot even refuse, wait a little for
// connections to close rather than retrying the accept in a busy loop.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

// The answer to a connection refused for want of descriptors, with the fields every response
// carries; written without allocating, as memory may be short too. Empty when it cannot be.
std::string_view refusal(char (&text)[512])
{
    char date[kHttpDateSize];
    if (!formatHttpDate(std::time(nullptr), date))
        return {};
    const int length =
        std::snprintf(text, sizeof text,
                      "HTTP/1.1 503 Service Unavailable\r\n"
                      "Server: %.*s\r\n"
                      "Date: %s\r\n"
                      "X-Content-Type-Options: nosniff\r\n"
                      "Cache-Control: no-store\r\n"
                      "Content-Type: text/plain; charset=utf-8\r\n"
                      "Content-Length: 24\r\n"
                      "Retry-After: 1\r\n"
                      "Connection: close\r\n"
                      "\r\n"
                      "503 Service Unavailable\n",
                      static_cast<int>(kServerName.size()), kServerName.data(), date);
    return length > 0 && static_cast<size_t>(length) < sizeof text
        ? std::string_view(text, static_cast<size_t>(length))
        : std::string_view();
}

bool isOutOfDescriptors(const boost::system::error_code &error)
{
    return error == boost::asio::error::no_descriptors || error.value() == ENFILE ||
        error == boost::asio::error::no_buffer_space || error == boost::asio::error::no_memory;
}

std::string signalName(int signal)
{
    if (signal == SIGTERM)
        return "SIGTERM";
    if (signal == SIGINT)
        return "SIGINT";
    if (signal == SIGHUP)
        return "SIGHUP";
    if (signal == SIGUSR1)
        return "SIGUSR1";
    if (signal == SIGUSR2)
        return "SIGUSR2";
    return "signal " + std::to_string(signal);
}

void say(const std::string &line, LogLevel level = LogLevel::Info) { logLine(level, line); }

}  // namespace

Server::Server(const Site &site, const ServerOptions &options) : Server(siteRoutes(site), options)
{
    labels_ = site.labels().store;
    segments_ = site.lookup().segments();
    if (site.downloads().hasFolder())
        downloads_ = &site.downloads();
}

Server::Server(RouteTable routes, const ServerOptions &options)
    : router_(std::move(routes)),
      options_(options),
      started_(std::chrono::system_clock::now()),
      workers_([&] {
          std::vector<std::unique_ptr<Worker>> workers;
          for (unsigned i = 0; i < std::max(1U, options.threads); ++i)
              workers.push_back(std::make_unique<Worker>(WorkerSetup{
                  router_, *this, options.limits, options.accessLog, [this] {
                      boost::asio::post(workers_.front()->context(), [this] { onWorkerDrained(); });
                  }}));
          return workers;
      }()),
      signals_(workers_.front()->context()),
      drainTimer_(workers_.front()->context())
{
    boost::asio::io_context &context = workers_.front()->context();
    const auto addListener = [&] {
        listeners_.push_back(std::unique_ptr<Listener>(
            new Listener{tcp::acceptor(context), boost::asio::steady_timer(context)}));
        return &listeners_.back()->acceptor;
    };
    if (options_.listeningSockets.empty()) {
        tcp::acceptor &acceptor = *addListener();
        acceptor.open(options_.listen.protocol());
        acceptor.set_option(boost::asio::socket_base::reuse_address(true));
        acceptor.bind(options_.listen);
        acceptor.listen(boost::asio::socket_base::max_listen_connections);
    } else {
        for (const int descriptor : options_.listeningSockets)
            addListener()->assign(listeningProtocol(descriptor), descriptor);
    }
    for (const auto &listener : listeners_)
        listener->acceptor.non_blocking(true);
    spareDescriptor_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Server::~Server()
{
    stop();
    for (const auto &worker : workers_)
        worker->forgetDrainedCallback();
    listeners_.clear();
    if (spareDescriptor_ >= 0)
        ::close(spareDescriptor_);
}

std::vector<tcp::endpoint> Server::localEndpoints() const
{
    std::vector<tcp::endpoint> endpoints;
    for (const auto &listener : listeners_)
        endpoints.push_back(listener->acceptor.local_endpoint());
    return endpoints;
}

void Server::stopOnSignals(std::initializer_list<int> signals)
{
    for (const int signal : signals)
        signals_.add(signal);
    // Their default action would end the process without a drain.
    for (const int signal : {SIGHUP, SIGUSR1, SIGUSR2})
        signals_.add(signal);
    const std::vector<int> stopping(signals);
    const auto wait = [this, stopping](auto &self) -> void {
        signals_.async_wait([this, self, stopping](boost::system::error_code error, int signal) {
            if (error)
                return;
            // A signal asked for as a stop signal stops, even one otherwise only logged.
            if (std::find(stopping.begin(), stopping.end(), signal) == stopping.end()) {
                const bool reload = signal == SIGHUP && options_.onReload;
                say(signalName(signal) +
                    (reload ? ": reloading the download listing" : ": ignored"));
                if (reload)
                    options_.onReload();
                self(self);
            } else if (++signalsReceived_ == 1) {
                beginDrain(signalName(signal));
                self(self);
            } else {
                stopWorkers(("at once on a second signal (" + signalName(signal) + ")").c_str());
            }
        });
    };
    wait(wait);
}

void Server::run(const std::function<void()> &onServing)
{
    startThreads(1);
    for (const auto &listener : listeners_)
        accept(*listener);
    if (onServing)
        onServing();
    workers_.front()->run(nullptr);
    joinThreads();
}

void Server::start()
{
    for (const auto &listener : listeners_)
        accept(*listener);
    startThreads(0);
}

void Server::startThreads(size_t first)
{
    // Each thread says whether it could start serving; with no memory left, saying so must
    // not need any.
    const size_t count = workers_.size() - first;
    std::latch started(static_cast<std::ptrdiff_t>(count));
    std::string problem;
    try {
        for (size_t i = 0; i < count; ++i)
            threads_.emplace_back(
                [worker = workers_[first + i].get(), &started] { worker->run(&started); });
    } catch (const std::exception &error) {
        // No thread, or no memory for one: those started must still report before returning.
        problem = "cannot start server thread " + std::to_string(first + threads_.size() + 1) +
            " of " + std::to_string(workers_.size()) + ": " + error.what();
        started.count_down(static_cast<std::ptrdiff_t>(count - threads_.size()));
    }
    started.wait();
    for (size_t i = 0; i < threads_.size() && problem.empty(); ++i)
        if (*workers_[first + i]->startFailure() != '\0')
            problem = "cannot start server thread " + std::to_string(first + i + 1) + " of " +
                std::to_string(workers_.size()) + ": " + workers_[first + i]->startFailure();
    if (!problem.empty()) {
        stopWorkers(nullptr);
        joinThreads();
        throw std::runtime_error(problem);
    }
}

void Server::joinThreads()
{
    for (std::thread &thread : threads_)
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
    threads_.clear();
}

void Server::stop()
{
    stopWorkers(nullptr);
    joinThreads();
}

void Server::stopWorkers(const char *why)
{
    if (why && !stopped_.exchange(true))
        say(std::string("stopped: ") + why);
    for (const auto &worker : workers_)
        worker->stop();
}

std::string Server::metricsText() const
{
    std::vector<const ThreadMetrics *> metrics;
    for (const auto &worker : workers_)
        metrics.push_back(&worker->metrics());
    std::optional<size_t> offered;
    if (downloads_)
        offered = downloads_->listing()->total;
    return zuno::service::metricsText(
        metrics, router_.labels(),
        {zuno::kVersion, started_, draining_.load(), labels_, segments_, offered});
}

double Server::openConnections() const
{
    double open = 0;
    for (const auto &worker : workers_)
        open += static_cast<double>(worker->metrics().connectionsOpened.value()) -
            static_cast<double>(worker->metrics().connectionsClosed.value());
    return open;
}

void Server::accept(Listener &listener)
{
    // Runs on workers_[0] only, so nextWorker_ needs no lock.
    Worker &worker = *workers_[nextWorker_];
    nextWorker_ = (nextWorker_ + 1) % workers_.size();
    listener.acceptor.async_accept(
        worker.context().get_executor(),
        [this, &listener, &worker](boost::system::error_code error, Connection::Socket socket) {
            onAccepted(listener, worker, error, std::move(socket));
        });
}

void Server::onAccepted(Listener &listener, Worker &worker, boost::system::error_code error,
                        Connection::Socket socket)
{
    if (error == boost::asio::error::operation_aborted)
        return;
    if (draining_) {
        // Accepted just before the drain began: its request is answered, with Connection: close.
        if (!error)
            std::make_shared<Connection>(std::move(socket), worker)->start();
        return;
    }
    if (isOutOfDescriptors(error)) {
        refuseOne(listener);
        return;
    }
    // Any other failure (the client reset before we took it, say) concerns that client alone.
    if (!error) {
        if (outOfDescriptors_) {
            outOfDescriptors_ = false;
            say("accepting connections again");
        }
        std::make_shared<Connection>(std::move(socket), worker)->start();
    }
    accept(listener);
}

void Server::refuseOne(Listener &listener)
{
    if (!outOfDescriptors_) {
        outOfDescriptors_ = true;
        say("out of file descriptors with " + std::to_string(static_cast<long>(openConnections())) +
                " connections open: refusing new connections until some close",
            LogLevel::Warning);
    }
    if (spareDescriptor_ >= 0) {
        ::close(spareDescriptor_);
        spareDescriptor_ = -1;
    }
    const int refused = ::accept4(listener.acceptor.native_handle(), nullptr, nullptr,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (refused >= 0) {
        // Best effort: a client that has not read it yet still sees the connection close.
        char text[512];
        const std::string_view answer = refusal(text);
        [[maybe_unused]] const ssize_t sent =
            ::send(refused, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        ::shutdown(refused, SHUT_WR);
        ::close(refused);
        workers_.front()->metrics().connectionsRefused.add();
    }
    spareDescriptor_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (refused >= 0 && spareDescriptor_ >= 0) {
        accept(listener);
        return;
    }
    listener.retryTimer.expires_after(kAcceptRetryDelay);
    listener.retryTimer.async_wait([this, &listener](boost::system::error_code waitError) {
        if (!waitError && !draining_)
            accept(listener);
    });
}

void Server::beginDrain(const std::string &why)
{
    if (draining_.exchange(true))
        return;
    for (const auto &listener : listeners_) {
        boost::system::error_code ignored;
        listener->acceptor.close(ignored);
        listener->retryTimer.cancel();
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(options_.drainTimeout).count() / 1e3;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", seconds);
    say(why + ": draining " + std::to_string(static_cast<long>(openConnections())) +
        " open connections, for " + limit + " s at most");
    drainTimer_.expires_after(options_.drainTimeout);
    drainTimer_.async_wait([this](boost::system::error_code error) {
        if (!error)
            stopWorkers(("drain timed out, closing " +
                         std::to_string(static_cast<long>(openConnections())) + " connections")
                            .c_str());
    });
    for (const auto &worker : workers_)
        worker->startDraining();
}

void Server::onWorkerDrained()
{
    if (++drainedWorkers_ < workers_.size())
        return;
    drainTimer_.cancel();
    stopWorkers("every answer finished");
}

}  // namespace zuno::service
