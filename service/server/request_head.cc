// SPDX-License-Identifier: Apache-2.0
#include "server/request_head.h"

#include "http/query.h"
#include "site/error_responses.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>

namespace zuno::service {
namespace {

namespace http = boost::beast::http;

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
        boost::beast::iequals(boost::beast::string_view(text.data(), prefix.size()),
                              boost::beast::string_view(prefix.data(), prefix.size()));
}

}  // namespace

Framing requestFraming(const http::request_header<> &head)
{
    const auto codings = head.equal_range(http::field::transfer_encoding);
    if (codings.first == codings.second)
        return Framing::Plain;
    if (head.version() < kHttp11 || head.find(http::field::content_length) != head.end())
        return Framing::Invalid;
    // Every coding of every Transfer-Encoding field, in order: only "chunked" alone is framed.
    size_t count = 0;
    bool chunked = false;
    for (auto field = codings.first; field != codings.second; ++field) {
        std::string_view list(field->value().data(), field->value().size());
        while (true) {
            const size_t comma = list.find(',');
            const std::string_view coding = withoutBlanks(list.substr(0, comma));
            if (!coding.empty()) {
                ++count;
                chunked = boost::beast::iequals(
                    boost::beast::string_view(coding.data(), coding.size()), "chunked");
            }
            if (comma == std::string_view::npos)
                break;
            list.remove_prefix(comma + 1);
        }
    }
    return count == 1 && chunked ? Framing::Chunked : Framing::Invalid;
}

bool isParseError(const boost::beast::error_code &error)
{
    return error.category() == http::make_error_code(http::error::bad_target).category();
}

bool hasValidHost(const http::request_header<> &head)
{
    const size_t hosts = head.count(http::field::host);
    return head.version() < kHttp11 ? hosts <= 1 : hosts == 1;
}

std::optional<std::string> originForm(std::string_view target)
{
    size_t schemeLength = 0;
    if (startsWithNoCase(target, "http://"))
        schemeLength = 7;
    else if (startsWithNoCase(target, "https://"))
        schemeLength = 8;
    else
        return std::nullopt;
    const size_t pathStart = target.find_first_of("/?#", schemeLength);
    if (pathStart == schemeLength)
        return std::nullopt;  // no authority
    if (pathStart == std::string_view::npos)
        return std::string("/");
    const std::string_view rest = target.substr(pathStart);
    return rest.front() == '/' ? std::string(rest) : "/" + std::string(rest);
}

Audience audienceOfTarget(std::string_view target, const Router &router)
{
    const auto origin = originForm(target);
    const std::string_view path = origin ? std::string_view(*origin) : target;
    if (path.empty() || path.front() != '/')
        return Audience::Page;
    std::string storage;
    const std::string_view decoded = decodedPath(path.substr(0, path.find('?')), storage);
    const Router::Found found = router.find(decoded);
    return found.route ? found.route->audience : Router::audienceOf(decoded);
}

RequestPlan planRequest(http::request_parser<http::string_body> &parser, const Router &router,
                        std::string &pathStorage)
{
    RequestPlan plan;
    plan.found = {nullptr, router.otherLabel(), {}};
    auto &head = parser.get();
    const Framing framing = requestFraming(head);
    if (framing == Framing::Invalid || !hasValidHost(head)) {
        plan.audience = audienceOfTarget({head.target().data(), head.target().size()}, router);
        return plan;
    }
    const bool bodyDeclared = framing == Framing::Chunked || !parser.is_done();
    // Every Connection field line counts, which the parser sees and the message does not.
    plan.keepAlive = parser.keep_alive() && !bodyDeclared;
    plan.head = head.method() == http::verb::head;
    if (auto target = originForm({head.target().data(), head.target().size()}))
        head.target(*target);
    const std::string_view target(head.target().data(), head.target().size());
    if (target.empty() || target.front() != '/')
        return plan;
    const std::string_view rawPath = target.substr(0, target.find('?'));
    const std::string_view path = decodedPath(rawPath, pathStorage);
    plan.pathDecoded = path.data() != rawPath.data();
    plan.found = router.find(path);
    plan.audience = plan.found.route ? plan.found.route->audience : Router::audienceOf(path);
    if (!plan.found.route) {
        plan.refusal = http::status::not_found;
        return plan;
    }
    if (!(plan.found.route->methods & Router::methodBit(head.method()))) {
        plan.refusal = http::status::method_not_allowed;
        return plan;
    }
    plan.keepAlive = parser.keep_alive();
    if (!bodyDeclared) {
        plan.step = RequestPlan::Step::Answer;
        return plan;
    }
    plan.bodyLimit = plan.found.route->bodyLimit;
    const auto length = parser.content_length();
    if (plan.bodyLimit == 0 || (length && *length > plan.bodyLimit)) {
        plan.keepAlive = false;
        plan.refusal = http::status::payload_too_large;
        return plan;
    }
    plan.step = RequestPlan::Step::ReadBody;
    return plan;
}

StringResponse refusalResponse(const RequestPlan &plan, unsigned version)
{
    if (plan.refusal == http::status::payload_too_large)
        return bodyTooLargeResponse(plan.found.route ? plan.found.route->bodyLimit : 0, version,
                                    plan.audience);
    StringResponse response = errorResponse(plan.refusal, version, plan.audience);
    if (plan.refusal == http::status::method_not_allowed)
        response.set(http::field::allow,
                     boost::beast::string_view(plan.found.allow.data(), plan.found.allow.size()));
    return response;
}

}  // namespace zuno::service
