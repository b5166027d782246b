// SPDX-License-Identifier: Apache-2.0
#include "site/pages/error_responses.h"

#include "http/responses.h"
#include "site/lookup/lookup_json.h"
#include "site/pages/pages.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <boost/beast/http/field.hpp>

#include <array>
#include <cstdio>
#include <string_view>

namespace zuno::service {

StringResponse errorResponse(http::status status, unsigned version, Audience audience)
{
    StringResponse response{status, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    const std::string line =
        std::to_string(static_cast<unsigned>(status)) + " " + std::string(errorTitle(status));
    switch (audience) {
    case Audience::Window:
        response.set(http::field::content_type, beastView(kLookupContentType));
        response.body() = encodeGbk(decodeUtf8(line).value_or(u"")) + "\r\n";
        break;
    case Audience::Api:
    case Audience::ApiWrite:
        response.set(http::field::content_type, beastView(kJsonContentType));
        response.body() = jsonError(line);
        break;
    case Audience::Page:
    case Audience::Process:
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
    StringResponse response{http::status::payload_too_large, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    if (audience == Audience::Page) {
        response.set(http::field::content_type, beastView(kHtmlContentType));
        response.body() = refusalPageHtml(
            http::status::payload_too_large,
            "提交的表单内容超过了本站接受的 " + sizeText(bodyLimit) + "，请删减后再提交。", "/");
    } else {
        response.set(http::field::content_type, beastView(kJsonContentType));
        response.body() =
            jsonError("413 " + std::string(errorTitle(http::status::payload_too_large)) +
                      "：请求内容超过了本站接受的 " + sizeText(bodyLimit) + "。");
    }
    response.prepare_payload();
    return response;
}

}  // namespace zuno::service
