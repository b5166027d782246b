// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/file_range_body.h"
#include "number/number_lookup.h"

#include <zuno/version.h>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/verb.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zuno::service {

namespace http = boost::beast::http;

using Request = http::request<http::string_body>;
using StringResponse = http::response<http::string_body>;
using FileResponse = http::response<FileRangeBody>;
using Response = std::variant<StringResponse, FileResponse>;

inline constexpr std::string_view kServerName = "zuno-lookupd/" ZUNO_VERSION_TEXT;

// Who reads a route's answers, which fixes the form of its errors: GBK text for the window's
// /iii.asp, JSON (with CORS) for the API, HTML pages elsewhere, plain text for the process's
// own endpoints. ApiWrite is the API's writes: JSON too, but readable in a browser only by the
// origins the operator lists, which the route's handler names itself.
enum class Audience : std::uint8_t { Page, Window, Api, ApiWrite, Process };

// A response, and the verdict of the number lookup it made, if it made one (for the metrics).
struct Answer {
    Response response;
    std::optional<Verdict> verdict;
};

// What the process endpoints ask of the server that runs the routes.
class ProcessState
{
public:
    virtual bool draining() const = 0;
    // Every thread's metrics, in Prometheus's text format.
    virtual std::string metricsText() const = 0;
    // Whether a connection's peer may read the metrics.
    virtual bool showsMetricsTo(const boost::asio::ip::address &peer) const = 0;

protected:
    ~ProcessState() = default;
};

// What a route's handler reads; valid only during the call.
struct RouteContext {
    const Request &request;
    std::string_view path;   // percent-decoded
    std::string_view query;  // as sent, still escaped
    const ProcessState &process;
    const boost::asio::ip::address &peer;  // the connection's, not any proxy's header
};

// The promise of an answer made later, on any thread: call send() once. Dropped without an
// answer (the work failed), it answers 500, so that the client is never left waiting.
class LaterAnswer
{
public:
    using Deliver = std::function<void(std::optional<Answer>)>;

    explicit LaterAnswer(Deliver deliver) : deliver_(std::move(deliver)) {}
    LaterAnswer(LaterAnswer &&other) noexcept : deliver_(std::exchange(other.deliver_, nullptr)) {}
    LaterAnswer &operator=(LaterAnswer &&) = delete;
    LaterAnswer(const LaterAnswer &) = delete;
    ~LaterAnswer();

    void send(Answer answer);

private:
    Deliver deliver_;
};

// A request body answered as it arrives, for answers too large to hold: the connection feeds
// each piece it reads, takes rows a slice at a time and sends them chunked, reading more only
// once what it has is answered and sent. Lives on the connection's thread.
class BodyStream
{
public:
    virtual ~BodyStream() = default;

    enum class State : std::uint8_t {
        NeedInput,  // feed() more, or end()
        MoreWork,   // produce() again
        Done,       // the answer is whole
    };

    // A refusal instead of the streamed answer, asked before the body is read and again after
    // each piece until the answer has begun: the request cannot be taken, or all of its body
    // is in and it asks for too much.
    virtual std::optional<StringResponse> refusal(unsigned version) = 0;
    // The answer's status and header fields; its body comes from produce().
    virtual StringResponse head(unsigned version) = 0;
    // The next bytes of the body; only after produce() said NeedInput.
    virtual void feed(std::string_view bytes) = 0;
    // No more bytes: the body was complete, or the client stopped sending before its end.
    virtual void end(bool complete) = 0;
    // Appends the answer to at most rows more inputs to out.
    virtual State produce(std::string &out, size_t rows) = 0;
    // Adds the verdicts of the lookups made since the last call to counts.
    virtual void takeVerdicts(std::array<std::uint64_t, kVerdictCount> &counts) = 0;
};

// HTTP methods a route takes, as a set of bits.
enum Method : std::uint8_t {
    kGet = 1,
    kHead = 2,
    kPost = 4,
    kPut = 8,
    kDelete = 16,
    kPatch = 32,
    kOptions = 64,
};
inline constexpr std::uint8_t kGetAndHead = kGet | kHead;

// One row of the site: a path, what it takes, how it is counted and who answers it.
struct Route {
    enum class Match : std::uint8_t { Exact, IgnoringCase, Prefix };

    std::string path;
    Match match = Match::Exact;
    std::uint8_t methods = kGetAndHead;
    std::string label;  // in the metrics
    Audience audience = Audience::Page;
    size_t bodyLimit = 0;  // the largest request body taken, in bytes
    // Exactly one of these: the answer now, on the connection's thread, or a LaterAnswer to
    // send when work done elsewhere ends (which must end before the server is destroyed, as
    // the answer goes to the server's threads), or a stream that answers the body as it
    // arrives (the context's request has no body then). HEAD gets the answer to GET without
    // its body.
    std::function<Answer(const RouteContext &)> answer;
    std::function<void(const RouteContext &, LaterAnswer)> answerLater;
    std::function<std::unique_ptr<BodyStream>(const RouteContext &)> stream = nullptr;
};

using RouteTable = std::vector<Route>;

// The label of requests that match no route, and of those refused before their route is known.
inline constexpr std::string_view kOtherLabel = "other";

// Finds the route of a percent-decoded path, first match in the table's order, and gives
// every answer, the site's own errors included, the header fields that every response shares.
class Router
{
public:
    explicit Router(RouteTable routes);

    struct Found {
        const Route *route = nullptr;  // null: no route has this path
        size_t label = 0;              // index into labels()
        std::string_view allow;        // the Allow field of the route's methods
    };
    Found find(std::string_view path) const;

    // Every route's label, once each, and kOtherLabel last.
    const std::vector<std::string> &labels() const { return labels_; }
    size_t otherLabel() const { return labels_.size() - 1; }

    // The audience of a path no route has.
    static Audience audienceOf(std::string_view path);
    static std::uint8_t methodBit(http::verb method);

    // The header fields every response shares: Server, Date and X-Content-Type-Options; on
    // HTML a Content-Security-Policy and Referrer-Policy; on the API, CORS. Then the
    // connection's persistence, and for HEAD the body dropped (its Content-Length kept).
    static void finish(Response &response, Audience audience, bool keepAlive, bool head);

private:
    RouteTable routes_;
    std::vector<size_t> routeLabels_;
    std::vector<std::string> allows_;
    std::vector<std::string> labels_;
};

// A path as percent-decoded, in storage only when it has escapes.
std::string_view decodedPath(std::string_view path, std::string &storage);

}  // namespace zuno::service
