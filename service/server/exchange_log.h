// SPDX-License-Identifier: Apache-2.0
// The record of a connection's exchanges: the metrics' count and the access-log line of each.
#pragma once

#include "server/metrics.h"

#include <boost/beast/http/message.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace zuno::service {

// The error log's line for a request whose answer failed.
void logAnswerError(std::string_view target, const std::exception &error);

// An exchange is open from the moment its head is read (or refused) until it is counted, so that
// one cut off by the client or a deadline is counted and logged too.
class ExchangeLog
{
public:
    ExchangeLog(ThreadMetrics &metrics, bool accessLog) : metrics_(metrics), accessLog_(accessLog) {}

    // "-" when the peer's address is unknown.
    void setPeer(std::string peer) { peer_ = std::move(peer); }
    // A head has arrived, whole or not: the time taken counts from here.
    void received();
    void open(const boost::beast::http::request_header<> &head);
    // A refusal before the request line was read opens the exchange too.
    void openRefused();
    bool isOpen() const { return open_; }
    // Counts the exchange under its route's label and writes its access-log line.
    void end(size_t routeLabel, unsigned status, std::uint64_t bodyBytes,
             const boost::beast::http::request_header<> &request);
    void forgetRequestLine() { requestLine_.clear(); }

private:
    using Clock = std::chrono::steady_clock;

    ThreadMetrics &metrics_;
    const bool accessLog_;
    bool open_ = false;
    Clock::time_point start_;
    // For the access log only.
    std::string peer_;
    std::string requestLine_;
    std::chrono::system_clock::time_point received_;
};

}  // namespace zuno::service
