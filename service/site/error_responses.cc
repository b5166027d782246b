// SPDX-License-Identifier: Apache-2.0
#include "site/error_responses.h"

#include "http/responses.h"
#include "site/pages/pages.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <boost/beast/http/field.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <string_view>

namespace zuno::service {

std::string problemJson(http::status status, std::string_view code, std::string_view detail)
{
    const nlohmann::ordered_json problem = {
        {"type", "urn:zuno:problem:" + std::string(code)},
        {"title", std::string(errorTitle(status))},
        {"status", static_cast<unsigned>(status)},
        {"detail", std::string(detail)},
        {"code", std::string(code)},
        {"error", std::string(detail)},
    };
    // A sentence echoing bytes that are not UTF-8 gets U+FFFD rather than an exception.
    return problem.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

StringResponse problemResponse(http::status status, unsigned version, std::string_view code,
                               std::string_view detail)
{
    StringResponse response{status, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    response.set(http::field::content_type, beastView(kProblemContentType));
    response.body() = problemJson(status, code, detail);
    response.prepare_payload();
    return response;
}

std::string_view problemCode(http::status status)
{
    switch (status) {
    case http::status::bad_request: return "bad_request";
    case http::status::not_found: return "not_found";
    case http::status::method_not_allowed: return "method_not_allowed";
    case http::status::request_timeout: return "request_timeout";
    case http::status::payload_too_large: return "body_too_large";
    case http::status::uri_too_long: return "uri_too_long";
    case http::status::request_header_fields_too_large: return "header_too_large";
    case http::status::service_unavailable: return "service_unavailable";
    default: return "internal_error";
    }
}

StringResponse errorResponse(http::status status, unsigned version, Audience audience)
{
    const std::string line =
        std::to_string(static_cast<unsigned>(status)) + " " + std::string(errorTitle(status));
    if (audience == Audience::Api || audience == Audience::ApiWrite)
        return problemResponse(status, version, problemCode(status), line);
    StringResponse response{status, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    switch (audience) {
    case Audience::Window:
        response.set(http::field::content_type, beastView(kLookupContentType));
        response.body() = encodeGbk(decodeUtf8(line).value_or(u"")) + "\r\n";
        break;
    case Audience::Page:
    case Audience::Process:
    case Audience::Api:
    case Audience::ApiWrite:
        response.set(http::field::content_type, beastView(kHtmlContentType));
        response.body() = errorPageHtml(status);
        break;
    }
    response.prepare_payload();
    return response;
}

std::string sizeText(size_t bytes)
{
    constexpr std::array<std::string_view, 4> kUnits{" 字节", " KiB", " MiB", " GiB"};
    size_t unit = 0;
    double size = static_cast<double>(bytes);
    while (size >= 1024 && unit + 1 < kUnits.size()) {
        size /= 1024;
        ++unit;
    }
    char text[32];
    // Whole units as they are; otherwise one decimal, rounded down so as never to promise more.
    if (size == static_cast<double>(static_cast<size_t>(size)))
        std::snprintf(text, sizeof text, "%zu", static_cast<size_t>(size));
    else
        std::snprintf(text, sizeof text, "%.1f",
                      static_cast<double>(static_cast<size_t>(size * 10)) / 10);
    return text + std::string(kUnits[unit]);
}

StringResponse bodyTooLargeResponse(size_t bodyLimit, unsigned version, Audience audience)
{
    if (bodyLimit == 0 ||
        (audience != Audience::Page && audience != Audience::Api && audience != Audience::ApiWrite))
        return errorResponse(http::status::payload_too_large, version, audience);
    if (audience != Audience::Page)
        return problemResponse(http::status::payload_too_large, version, "body_too_large",
                               "413 " + std::string(errorTitle(http::status::payload_too_large)) +
                                   "：请求内容超过了本站接受的 " + sizeText(bodyLimit) + "。");
    StringResponse response{http::status::payload_too_large, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    response.set(http::field::content_type, beastView(kHtmlContentType));
    response.body() = refusalPageHtml(
        http::status::payload_too_large,
        "提交的表单内容超过了本站接受的 " + sizeText(bodyLimit) + "，请删减后再提交。", "/");
    response.prepare_payload();
    return response;
}

}  // namespace zuno::service
