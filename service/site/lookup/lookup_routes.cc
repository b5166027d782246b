// SPDX-License-Identifier: Apache-2.0
#include "site/lookup/lookup_routes.h"

#include "http/query.h"
#include "http/responses.h"
#include "number/number_lookup.h"
#include "site/error_responses.h"
#include "site/lookup/lookup_json.h"
#include "site/lookup/lookup_page.h"
#include "site/lookup/lookup_reply.h"
#include "site/paths.h"
#include "site/site.h"

#include <algorithm>
#include <memory>
#include <string>

namespace zuno::service {
namespace {

constexpr std::string_view kTitleParameter = "title";

}  // namespace

WindowReply windowReply(const Site &site, std::string_view rawTitle)
{
    const std::u16string title = decodeTitle(rawTitle);
    const LookupOutcome outcome = site.answer(title);
    return {buildReplyGbk(outcome, title, site.labelOf(outcome)), outcome.verdict};
}

Answer windowLookup(const RouteContext &context, const Site &site)
{
    WindowReply reply =
        windowReply(site, queryParameter(context.query, kTitleParameter).value_or(""));
    return {textResponse(http::status::ok, context.request, kLookupContentType, kRevalidate,
                         std::move(reply.body)),
            reply.verdict};
}

Answer lookupPage(const RouteContext &context, const Site &site)
{
    const std::u16string title =
        decodeFormTitle(queryParameter(context.query, kNumberParameter).value_or(""));
    const LookupOutcome outcome = site.answer(title);
    return {textResponse(http::status::ok, context.request, kHtmlContentType, kRevalidate,
                         lookupPageHtml(outcome, title)),
            outcome.verdict};
}

Answer apiLookup(const RouteContext &context, const Site &site)
{
    const auto raw = queryParameter(context.query, kNumberParameter);
    if (!raw)
        return {problemResponse(http::status::bad_request, context.request.version(),
                                "number_missing",
                                "缺少参数 number，例如 /api/v1/lookup?number=13800138000"),
                std::nullopt};
    const std::u16string title = decodeFormTitle(*raw);
    const LookupOutcome outcome = site.answer(title);
    return {textResponse(http::status::ok, context.request, kJsonContentType, kRevalidate,
                         lookupJson(outcome, title, site.labelOf(outcome))),
            outcome.verdict};
}

Answer apiAbout(const RouteContext &context, const Site &site)
{
    return {textResponse(http::status::ok, context.request, kJsonContentType, kRevalidate,
                         aboutJson(site.dataSets())),
            std::nullopt};
}

}  // namespace zuno::service
