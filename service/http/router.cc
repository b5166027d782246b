// SPDX-License-Identifier: Apache-2.0
#include "http/router.h"

#include "http/http_dates.h"
#include "http/query.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>

#include <ctime>
#include <exception>
#include <stdexcept>

namespace zuno::service {
namespace {

constexpr std::string_view kApiPrefix = "/api/";
// Nothing from another host, no script at all, forms only to this site, never in a frame.
constexpr std::string_view kContentSecurityPolicy =
    "default-src 'self'; script-src 'none'; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";

boost::beast::string_view beastView(std::string_view text) { return {text.data(), text.size()}; }

// The Date field, formatted once a second on each thread.
boost::beast::string_view currentDate()
{
    thread_local std::time_t formattedSecond = -1;
    thread_local std::string formatted;
    const std::time_t now = std::time(nullptr);
    if (now != formattedSecond) {
        formatted = formatHttpDate(now);
        formattedSecond = now;
    }
    return beastView(formatted);
}

std::string allowOf(std::uint8_t methods)
{
    std::string allow;
    for (const auto &[bit, name] : {std::pair{kGet, "GET"},
                                    {kHead, "HEAD"},
                                    {kPost, "POST"},
                                    {kPut, "PUT"},
                                    {kDelete, "DELETE"},
                                    {kPatch, "PATCH"},
                                    {kOptions, "OPTIONS"}})
        if (methods & bit)
            allow.append(allow.empty() ? "" : ", ").append(name);
    return allow;
}

bool matches(const Route &route, std::string_view path)
{
    switch (route.match) {
    case Route::Match::Exact: return path == route.path;
    case Route::Match::IgnoringCase:
        return boost::beast::iequals(beastView(path), beastView(route.path));
    case Route::Match::Prefix: return path.starts_with(route.path);
    }
    return false;
}

// No handler sets the fields inserted here, and a response is finished once: inserting spares
// set()'s search for a field to replace, and still puts them last, as set() would.
template<class Body> void setSharedFields(http::response<Body> &message, Audience audience)
{
    message.insert(http::field::server, beastView(kServerName));
    message.insert(http::field::date, currentDate());
    // Beast's table names none of the fields below: saying so spares it hashing each name.
    message.insert(http::field::unknown, "X-Content-Type-Options", "nosniff");
    const auto type = message[http::field::content_type];
    if (type.starts_with("text/html")) {
        message.insert(http::field::unknown, "Content-Security-Policy",
                       beastView(kContentSecurityPolicy));
        message.insert(http::field::unknown, "Referrer-Policy", "no-referrer");
    }
    if (audience == Audience::Api)
        message.set(http::field::access_control_allow_origin, "*");
    // A write's answer names the origin it may be read by, if any: caches must keep them apart.
    if (audience == Audience::ApiWrite)
        message.set(http::field::vary, "Origin");
}

// The answer to HEAD: the same header, Content-Length included, and no body.
void dropBody(Response &response)
{
    if (auto *text = std::get_if<StringResponse>(&response)) {
        text->body().clear();
        return;
    }
    const auto &file = std::get<FileResponse>(response);
    StringResponse head{file.result(), file.version()};
    for (const auto &field : file.base())
        head.set(field.name_string(), field.value());
    response = std::move(head);
}

}  // namespace

LaterAnswer::~LaterAnswer()
{
    if (!deliver_)
        return;
    try {
        deliver_(std::nullopt);
    } catch (const std::exception &) {
        // No memory to say it: the connection's deadline is all that is left. Nothing to do.
    }
}

void LaterAnswer::send(Answer answer)
{
    if (!deliver_)
        throw std::logic_error("an answer sent twice");
    Deliver deliver = std::exchange(deliver_, nullptr);
    deliver(std::move(answer));
}

Router::Router(RouteTable routes) : routes_(std::move(routes))
{
    for (const Route &route : routes_) {
        if (static_cast<bool>(route.answer) + static_cast<bool>(route.answerLater) +
                static_cast<bool>(route.stream) !=
            1)
            throw std::invalid_argument("route " + route.path + ": one handler, now, later or streamed");
        // Labels go into the metrics as they are, unescaped.
        if (route.label.empty() ||
            route.label.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
                std::string::npos)
            throw std::invalid_argument("route " + route.path + ": label \"" + route.label +
                                        "\" is not lower-case letters, digits and _");
        size_t label = 0;
        while (label < labels_.size() && labels_[label] != route.label)
            ++label;
        if (label == labels_.size())
            labels_.push_back(route.label);
        routeLabels_.push_back(label);
        allows_.push_back(allowOf(route.methods));
    }
    labels_.emplace_back(kOtherLabel);
}

Router::Found Router::find(std::string_view path) const
{
    for (size_t i = 0; i < routes_.size(); ++i)
        if (matches(routes_[i], path))
            return {&routes_[i], routeLabels_[i], allows_[i]};
    return {nullptr, otherLabel(), {}};
}

Audience Router::audienceOf(std::string_view path)
{
    return path.starts_with(kApiPrefix) ? Audience::Api : Audience::Page;
}

std::uint8_t Router::methodBit(http::verb method)
{
    switch (method) {
    case http::verb::get: return kGet;
    case http::verb::head: return kHead;
    case http::verb::post: return kPost;
    case http::verb::put: return kPut;
    case http::verb::delete_: return kDelete;
    case http::verb::patch: return kPatch;
    case http::verb::options: return kOptions;
    default: return 0;
    }
}

void Router::finish(Response &response, Audience audience, bool keepAlive, bool head)
{
    if (head)
        dropBody(response);
    std::visit(
        [&](auto &message) {
            setSharedFields(message, audience);
            message.keep_alive(keepAlive);
        },
        response);
}

std::string_view decodedPath(std::string_view path, std::string &storage)
{
    if (path.find('%') == std::string_view::npos)
        return path;
    storage = percentDecode(path);
    return storage;
}

}  // namespace zuno::service
