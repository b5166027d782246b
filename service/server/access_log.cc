// SPDX-License-Identifier: Apache-2.0
#include "server/access_log.h"

#include "log/log_line.h"

#include <cstdio>
#include <ctime>

namespace zuno::service {
namespace {

namespace http = boost::beast::http;

constexpr size_t kMaxLogged = 256;
constexpr unsigned kHttp10 = 10;
// Methods are short; whatever else a client sends in their place is cut in the access log.
constexpr size_t kMaxLoggedMethod = 32;

std::string_view view(boost::beast::string_view text) { return {text.data(), text.size()}; }

// The log's time stamp, formatted once a second per thread.
std::string_view timeStamp(std::chrono::system_clock::time_point when)
{
    thread_local std::time_t formattedSecond = -1;
    thread_local char formatted[32] = {};
    const std::time_t second = std::chrono::system_clock::to_time_t(when);
    if (second != formattedSecond) {
        std::tm utc{};
        gmtime_r(&second, &utc);
        if (std::strftime(formatted, sizeof formatted, "%d/%b/%Y:%H:%M:%S +0000", &utc) == 0)
            formatted[0] = '\0';
        formattedSecond = second;
    }
    return formatted;
}

}  // namespace

std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text.substr(0, kMaxLogged)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    if (text.size() > kMaxLogged)
        out += "...";
    return out;
}

std::string accessLogLine(const AccessRecord &record)
{
    const auto quoted = [](std::string_view text) {
        return text.empty() ? std::string("\"-\"") : "\"" + printable(text) + "\"";
    };
    std::string line;
    line.reserve(160 + record.requestLine.size());
    line.append(record.client).append(" - - [").append(timeStamp(record.received)).append("] \"");
    line.append(record.requestLine).append("\" ").append(std::to_string(record.status));
    line.append(" ").append(record.bodyBytes ? std::to_string(record.bodyBytes) : "-");
    line.append(" ").append(quoted(record.referer)).append(" ").append(quoted(record.userAgent));
    line.append(" ").append(std::to_string(record.taken.count()));
    return line;
}

std::string loggedRequestLine(const http::request_header<> &head)
{
    return printable(view(head.method_string()).substr(0, kMaxLoggedMethod)) + " " +
        printable(view(head.target())) +
        (head.version() == kHttp10 ? " HTTP/1.0" : " HTTP/1.1");
}

void logAccess(const http::request_header<> &request, AccessRecord record)
{
    const auto field = [&](http::field name) {
        const auto found = request.find(name);
        return found == request.end() ? std::string_view() : view(found->value());
    };
    if (record.requestLine.empty())
        record.requestLine = "-";
    record.referer = field(http::field::referer);
    record.userAgent = field(http::field::user_agent);
    logLine(LogLevel::Info, accessLogLine(record), LogForm::Record);
}

}  // namespace zuno::service
