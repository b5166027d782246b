#pragma once

// Service headers before any Qt header: Qt's keyword macros must not reach Boost.
#include "server.h"
#include "site.h"

#include <chrono>
#include <memory>

// The service on 127.0.0.1 and a free port, on two threads of this process; deadline bounds
// both a request's arrival and a stalled send.
inline std::unique_ptr<zuno::service::Server>
startServer(const zuno::service::Site &site,
            std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    zuno::service::ServerOptions options;
    options.listen = {boost::asio::ip::make_address("127.0.0.1"), 0};
    options.threads = 2;
    options.limits.requestTimeout = deadline;
    options.limits.sendStallTimeout = deadline;
    auto server = std::make_unique<zuno::service::Server>(site, options);
    server->start();
    return server;
}
