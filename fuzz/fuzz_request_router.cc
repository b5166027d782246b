// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the bytes of one request, read as the connection reads them (leading empty
// lines, Beast's parser with the head limit, planRequest, the route's body limit), answered
// through the site's route table plus a POST echo route, and written out; checks what every
// answer must hold: one whole response, a status, the shared header fields, a body as long as
// its Content-Length.
#include "fuzz_checks.h"
#include "http/router.h"
#include "server/request_head.h"
#include "site/error_responses.h"
#include "site/site.h"
#include "site/site_routes.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

namespace {

using namespace zuno::service;
namespace beast = boost::beast;

constexpr size_t kHeadLimit = 8 * 1024;

using zuno::fuzz::require;

class Process final : public ProcessState
{
public:
    bool draining() const override { return false; }
    std::string metricsText() const override { return "zuno_draining 0\n"; }
    bool showsMetricsTo(const boost::asio::ip::address &) const override { return true; }
};

const Router &router()
{
    static const Site site;  // no download folder
    static const Router router = [] {
        RouteTable routes = siteRoutes(site);
        routes.push_back({"/echo", Route::Match::Exact, kPost, "echo", Audience::Api, 64,
                          [](const RouteContext &context) {
                              StringResponse response{http::status::ok, context.request.version()};
                              response.set(http::field::content_type, "text/plain");
                              response.body() = context.request.body();
                              response.prepare_payload();
                              return Answer{std::move(response), std::nullopt};
                          },
                          nullptr});
        return Router(std::move(routes));
    }();
    return router;
}

// A streamed answer as the connection gives it, gathered in one response: the body fed in
// small pieces, so that records and multipart delimiters fall across them.
Answer streamed(BodyStream &stream, const Request &request)
{
    constexpr size_t kPiece = 7;
    const unsigned version = request.version();
    if (auto refused = stream.refusal(version))
        return Answer{std::move(*refused), std::nullopt};
    std::string_view body = request.body();
    StringResponse response = stream.head(version);
    std::string &out = response.body();
    BodyStream::State state = BodyStream::State::NeedInput;
    while (state != BodyStream::State::Done) {
        if (state == BodyStream::State::NeedInput) {
            if (body.empty()) {
                stream.end(true);
            } else {
                stream.feed(body.substr(0, kPiece));
                body.remove_prefix(std::min(kPiece, body.size()));
            }
            if (auto refused = stream.refusal(version); refused && out.empty())
                return Answer{std::move(*refused), std::nullopt};
        }
        state = stream.produce(out, 64);
    }
    response.prepare_payload();
    return Answer{std::move(response), std::nullopt};
}

// The answer to the request in bytes, or nothing when the connection would close unanswered.
std::optional<Answer> answer(std::string_view bytes, RequestPlan &plan, bool &head)
{
    const Router &routes = router();
    plan = {};
    plan.found.label = routes.otherLabel();
    const auto refusal = [&](http::status status) {
        plan.keepAlive = false;
        return Answer{errorResponse(status, 11, plan.audience), std::nullopt};
    };
    // Empty lines before a request line are skipped, within the head's limit.
    size_t skipped = 0;
    while (!bytes.empty() && (bytes.front() == '\n' || bytes.starts_with("\r\n"))) {
        const size_t line = bytes.front() == '\n' ? 1 : 2;
        bytes.remove_prefix(line);
        skipped += line;
    }
    if (skipped > kHeadLimit)
        return refusal(http::status::bad_request);

    http::request_parser<http::string_body> parser;
    parser.header_limit(kHeadLimit);
    beast::error_code error;
    size_t used = parser.put(boost::asio::buffer(bytes.data(), bytes.size()), error);
    if (error == http::error::need_more || (!error && !parser.is_header_done()))
        return std::nullopt;  // waits for the rest, or times out
    if (error == http::error::header_limit)
        return refusal(parser.get().target().empty()
                           ? http::status::uri_too_long
                           : http::status::request_header_fields_too_large);
    if (error)
        return refusal(http::status::bad_request);

    std::string pathStorage;
    plan = planRequest(parser, routes, pathStorage);
    head = plan.head;
    if (plan.step == RequestPlan::Step::Refuse)
        return Answer{refusalResponse(plan, parser.get().version()), std::nullopt};
    if (plan.step == RequestPlan::Step::ReadBody) {
        parser.body_limit(plan.bodyLimit);
        bytes.remove_prefix(used);
        while (!parser.is_done() && !error) {
            used = parser.put(boost::asio::buffer(bytes.data(), bytes.size()), error);
            bytes.remove_prefix(used);
            if (!error && used == 0)
                error = http::error::need_more;
        }
        if (error == http::error::body_limit)
            return refusal(http::status::payload_too_large);
        if (error == http::error::need_more)
            return std::nullopt;
        if (error)
            return refusal(http::status::bad_request);
    }
    const Request request = parser.release();
    const std::string_view target(request.target().data(), request.target().size());
    const size_t question = target.find('?');
    static const Process process;
    static const boost::asio::ip::address peer;
    const RouteContext context{
        request, plan.pathDecoded ? std::string_view(pathStorage) : target.substr(0, question),
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1),
        process, peer};
    if (plan.found.route->stream)
        return streamed(*plan.found.route->stream(context), request);
    // Routes answered later need a store and its thread, which this target does not run.
    if (!plan.found.route->answer)
        return std::nullopt;
    return plan.found.route->answer(context);
}

std::string field(const http::response_header<> &head, beast::string_view name)
{
    const auto found = head.find(name);
    return found == head.end() ? std::string() : std::string(found->value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RequestPlan plan;
    bool head = false;
    std::optional<Answer> result =
        answer(std::string_view(reinterpret_cast<const char *>(data), size), plan, head);
    if (!result)
        return 0;
    Router::finish(result->response, plan.audience, plan.keepAlive, head);
    auto *text = std::get_if<StringResponse>(&result->response);
    require(text != nullptr, "a file answered without a download folder");
    std::ostringstream written;
    written << *text;
    const std::string out = written.str();

    // Read back as a client reads it: exactly one response, nothing after it.
    http::response_parser<http::string_body> reader;
    reader.skip(head);
    reader.eager(true);
    reader.body_limit(16 * 1024 * 1024);
    beast::error_code error;
    size_t used = reader.put(boost::asio::buffer(out), error);
    if (!error && !reader.is_done() && head)
        reader.put_eof(error);
    require(!error, "a response that does not parse");
    require(reader.is_done(), "an unfinished response");
    require(used == out.size(), "bytes after the response");

    const auto &response = reader.get();
    require(response.result_int() >= 200 && response.result_int() < 600, "a final status");
    require(field(response, "Server").starts_with("zuno-lookupd/"), "Server");
    require(!field(response, "Date").empty(), "Date");
    require(field(response, "X-Content-Type-Options") == "nosniff", "nosniff");
    const bool html = field(response, "Content-Type").starts_with("text/html");
    require(html == !field(response, "Content-Security-Policy").empty(), "a CSP on HTML alone");
    require(html == !field(response, "Referrer-Policy").empty(), "Referrer-Policy on HTML alone");
    require((plan.audience == Audience::Api) ==
                (field(response, "Access-Control-Allow-Origin") == "*"),
            "CORS on the API alone");
    const std::string length = field(response, "Content-Length");
    require(!length.empty(), "Content-Length");
    if (head)
        require(response.body().empty(), "a body in answer to HEAD");
    else
        require(length == std::to_string(response.body().size()), "a body of its Content-Length");
    if (response.result_int() == 405)
        require(!field(response, "Allow").empty(), "Allow on 405");
    return 0;
}
