// SPDX-License-Identifier: Apache-2.0
#include "server/exchange_log.h"

#include "log/log_line.h"
#include "server/access_log.h"

namespace zuno::service {

void logAnswerError(std::string_view target, const std::exception &error)
{
    logLine(LogLevel::Error, "error answering \"" + printable(target) + "\": " + error.what());
}

void ExchangeLog::received()
{
    start_ = Clock::now();
    if (accessLog_)
        received_ = std::chrono::system_clock::now();
}

void ExchangeLog::open(const boost::beast::http::request_header<> &head)
{
    open_ = true;
    if (accessLog_)
        requestLine_ = loggedRequestLine(head);
}

void ExchangeLog::openRefused()
{
    open_ = true;
    if (accessLog_ && requestLine_.empty())
        requestLine_ = "-";
}

void ExchangeLog::end(size_t routeLabel, unsigned status, std::uint64_t bodyBytes,
                      const boost::beast::http::request_header<> &request)
{
    open_ = false;
    metrics_.countRequest(routeLabel, status, Clock::now() - start_);
    if (!accessLog_)
        return;
    AccessRecord record;
    record.client = peer_;
    record.requestLine = requestLine_;
    record.status = status;
    record.bodyBytes = bodyBytes;
    record.received = received_;
    record.taken = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_);
    logAccess(request, record);
}

}  // namespace zuno::service
