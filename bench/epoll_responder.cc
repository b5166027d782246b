// SPDX-License-Identifier: Apache-2.0
// The ceiling for the service's throughput: one thread, epoll, non-blocking sockets, no
// library. Every request head (up to its empty line) is answered with the same canned bytes,
// read from a file once, on a kept-alive connection; pipelined and partial heads are handled.
// Nothing is parsed, looked up or formatted, so no server doing its work can answer faster.
//
// Usage: zuno-epoll-responder REPLY_FILE [PORT]
// Listens on 127.0.0.1 (PORT 0, the default, lets the system choose) and prints
// "listening on http://127.0.0.1:PORT/" on standard error; runs until SIGINT or SIGTERM.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

// A head longer than this without its empty line closes the connection, as a server would.
constexpr size_t kMaxHead = 64 * 1024;
constexpr int kMaxEvents = 256;

// A file descriptor, closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct Client {
    explicit Client(int fd) : socket(fd) {}
    Descriptor socket;
    std::string input;   // bytes of a head not yet complete
    size_t scanned = 0;  // how much of input is known not to end a head
    std::string output;  // answers the socket did not take yet
    size_t sent = 0;     // of output
    bool waitingToWrite = false;
    bool peerDone = false;  // the client sent all it will: answer, then close
};

void fail(const char *what)
{
    std::fprintf(stderr, "zuno-epoll-responder: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Appends one reply for every complete head in the input and keeps the unfinished rest.
void answerHeads(Client &client, std::string_view reply)
{
    size_t start = 0;
    for (;;) {
        const size_t end = client.input.find("\r\n\r\n", std::max(client.scanned, start));
        if (end == std::string::npos)
            break;
        client.output.append(reply);
        start = end + 4;
        client.scanned = start;
    }
    client.input.erase(0, start);
    // The last three bytes may begin a terminator that the next read completes.
    client.scanned = client.input.size() < 3 ? 0 : client.input.size() - 3;
}

// Writes what it can; false when the connection failed.
bool flush(Client &client)
{
    while (client.sent < client.output.size()) {
        const ssize_t n = ::send(client.socket.get(), client.output.data() + client.sent,
                                 client.output.size() - client.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        client.sent += static_cast<size_t>(n);
    }
    client.output.clear();
    client.sent = 0;
    return true;
}

// Reads until the socket is empty; false when the connection failed.
bool readAll(Client &client, std::string_view reply)
{
    std::array<char, 16 * 1024> chunk;
    for (;;) {
        const ssize_t n = ::recv(client.socket.get(), chunk.data(), chunk.size(), 0);
        if (n == 0) {
            client.peerDone = true;
            return true;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        client.input.append(chunk.data(), static_cast<size_t>(n));
        answerHeads(client, reply);
        if (client.input.size() > kMaxHead)
            return false;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s REPLY_FILE [PORT]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string reply((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        std::fprintf(stderr, "zuno-epoll-responder: cannot read %s\n", argv[1]);
        return 2;
    }
    if (reply.empty()) {
        std::fprintf(stderr, "zuno-epoll-responder: %s is empty\n", argv[1]);
        return 2;
    }
    const int port = argc == 3 ? std::atoi(argv[2]) : 0;

    const Descriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.get() < 0)
        fail("socket");
    const int on = 1;
    if (::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        fail("SO_REUSEADDR");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        fail("bind");
    if (::listen(listener.get(), SOMAXCONN) != 0)
        fail("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        fail("getsockname");

    // Stopping through a descriptor, so that the loop ends and every socket is closed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        fail("sigprocmask");
    const Descriptor stop(::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (stop.get() < 0)
        fail("signalfd");

    const Descriptor poller(::epoll_create1(EPOLL_CLOEXEC));
    if (poller.get() < 0)
        fail("epoll_create1");
    for (const int fd : {listener.get(), stop.get()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, fd, &event) != 0)
            fail("epoll_ctl");
    }
    std::fprintf(stderr, "zuno-epoll-responder: listening on http://127.0.0.1:%d/\n",
                 ntohs(address.sin_port));

    std::unordered_map<int, std::unique_ptr<Client>> clients;
    const auto watch = [&](Client &client, bool write, bool read) {
        epoll_event event{};
        event.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u);
        event.data.fd = client.socket.get();
        if (::epoll_ctl(poller.get(), EPOLL_CTL_MOD, client.socket.get(), &event) != 0)
            fail("epoll_ctl");
        client.waitingToWrite = write;
    };

    std::array<epoll_event, kMaxEvents> events;
    for (;;) {
        const int ready = ::epoll_wait(poller.get(), events.data(), kMaxEvents, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fail("epoll_wait");
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stop.get())
                return 0;
            if (fd == listener.get()) {
                for (;;) {
                    const int accepted =
                        ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (accepted < 0)
                        break;  // EAGAIN: none left; anything else: the client is gone
                    auto client = std::make_unique<Client>(accepted);
                    if (::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
                        fail("TCP_NODELAY");
                    epoll_event event{};
                    event.events = EPOLLIN | EPOLLRDHUP;
                    event.data.fd = accepted;
                    if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, accepted, &event) != 0)
                        fail("epoll_ctl");
                    clients.emplace(accepted, std::move(client));
                }
                continue;
            }
            const auto found = clients.find(fd);
            if (found == clients.end())
                continue;
            Client &client = *found->second;
            bool open = true;
            if (events[i].events & (EPOLLERR | EPOLLHUP))
                open = false;
            if (open && !client.peerDone && (events[i].events & (EPOLLIN | EPOLLRDHUP)))
                open = readAll(client, reply);
            if (open)
                open = flush(client);
            const bool pending = client.sent < client.output.size();
            if (!open || (client.peerDone && !pending)) {
                // Closing the descriptor also takes it out of the epoll set.
                clients.erase(found);
                continue;
            }
            if (client.peerDone)
                watch(client, true, false);
            else if (pending != client.waitingToWrite)
                watch(client, pending, true);
        }
    }
}
