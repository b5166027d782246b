// SPDX-License-Identifier: Apache-2.0
#include "site/community/report_checks.h"

#include "http/query.h"
#include "http/web_origin.h"
#include "site/pages/error_responses.h"
#include "site/pages/pages.h"
#include "site/site.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <boost/beast/core/string.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <optional>

namespace zuno::service {
namespace {

constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";

boost::beast::string_view beastView(std::string_view text) { return {text.data(), text.size()}; }
std::string_view plainView(boost::beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

StringResponse noStoreResponse(http::status status, unsigned version, std::string_view contentType,
                               std::string body)
{
    StringResponse message{status, version};
    message.set(http::field::content_type, beastView(contentType));
    message.set(http::field::cache_control, "no-store");
    message.body() = std::move(body);
    message.prepare_payload();
    return message;
}

StringResponse refusalResponse(const Refusal &refusal, unsigned version, Audience audience,
                               std::string_view backPath)
{
    StringResponse message = audience == Audience::Api || audience == Audience::ApiWrite
        ? problemResponse(refusal.status, version, refusal.code, refusal.sentence)
        : noStoreResponse(refusal.status, version, kHtmlContentType,
                          refusalPageHtml(refusal.status, refusal.sentence, backPath));
    if (refusal.retryAfter.count() > 0)
        message.set(http::field::retry_after, std::to_string(refusal.retryAfter.count()));
    return message;
}

Refusal storeUnavailable()
{
    return {http::status::service_unavailable, "store_unavailable",
            "标记暂时无法保存，请稍后再试；查询不受影响。", std::chrono::seconds(5)};
}

std::string reporterOf(const Site &site, const RouteContext &context)
{
    const auto &labels = site.labels();
    // The proxy appends its line after any the client sent: the last line is the proxy's.
    std::string_view forwardedFor;
    const auto lines = context.request.equal_range("X-Forwarded-For");
    for (auto line = lines.first; line != lines.second; ++line)
        forwardedFor = plainView(line->value());
    return labels.networks->keyOf(labels.trustedProxies.clientOf(context.peer, forwardedFor));
}

std::string formValue(std::string_view body, std::string_view name)
{
    return formDecode(queryParameter(body, name).value_or(""));
}

// Sec-Fetch-Site says so where the browser sends it (our pages' no-referrer policy makes
// browsers send "Origin: null" even from this site); otherwise the Origin field, or without one
// the Referer, must name this site. A request with none of them comes from no other page.
bool fromThisSite(const Request &request, const std::vector<std::string> &siteNames)
{
    const std::string_view host = plainView(request[http::field::host]);
    const std::string_view fetchSite = plainView(request["Sec-Fetch-Site"]);
    if (!fetchSite.empty())
        return fetchSite == "same-origin" && namesThisSite(host, siteNames);
    std::string_view source = plainView(request[http::field::origin]);
    if (source.empty())
        source = plainView(request[http::field::referer]);
    if (source.empty())
        return true;
    const size_t scheme = source.find("://");
    if (scheme == std::string_view::npos)
        return false;
    std::string_view authority = source.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    return boost::beast::iequals(beastView(authority), beastView(host)) &&
        namesThisSite(host, siteNames);
}

namespace {

// The Origin field of a request when it names an origin the operator listed; empty otherwise.
std::string_view listedOrigin(const Request &request, const std::vector<std::string> &corsOrigins)
{
    const std::string_view origin = plainView(request[http::field::origin]);
    for (const std::string &listed : corsOrigins)
        if (!origin.empty() && boost::beast::iequals(beastView(origin), beastView(listed)))
            return origin;
    return {};
}

void allowOrigin(Response &response, std::string_view origin)
{
    if (!origin.empty())
        std::visit(
            [&](auto &message) {
                message.set(http::field::access_control_allow_origin, beastView(origin));
            },
            response);
}

bool isJson(std::string_view contentType)
{
    const std::string_view type = withoutBlanks(contentType.substr(0, contentType.find(';')));
    return boost::beast::iequals(beastView(type), "application/json");
}

// The answer given later, with the listed origin allowed to read it.
LaterAnswer readableBy(std::string origin, LaterAnswer answer)
{
    if (origin.empty())
        return answer;
    auto later = std::make_shared<LaterAnswer>(std::move(answer));
    return LaterAnswer([later, origin = std::move(origin)](std::optional<Answer> given) {
        if (!given) {
            // Dropped unanswered: the answer it stands for says 500 as it goes.
            LaterAnswer dropped(std::move(*later));
            return;
        }
        allowOrigin(given->response, origin);
        later->send(std::move(*given));
    });
}

}  // namespace

std::optional<Refusal> apiWriteRefusal(const Request &request, const SiteLabels &labels)
{
    if (!fromThisSite(request, labels.siteNames) &&
        listedOrigin(request, labels.corsOrigins).empty())
        return Refusal{http::status::forbidden, "origin_not_allowed",
                       "其他网站的页面不能提交标记和归属地：只接受本站页面、运营者登记的网站和"
                       "不经浏览器的程序提交。"};
    if (request.method() == http::verb::post &&
        !isJson(plainView(request[http::field::content_type])))
        return Refusal{http::status::unsupported_media_type, "json_required",
                       "请以 JSON 提交，并写明 Content-Type: application/json。"};
    return std::nullopt;
}

StringResponse preflightResponse(const Request &request,
                                 const std::vector<std::string> &corsOrigins)
{
    const std::string_view origin = listedOrigin(request, corsOrigins);
    if (origin.empty() && !request[http::field::origin].empty())
        return refusalResponse({http::status::forbidden, "origin_not_allowed",
                                "此网站未获准从浏览器提交标记和归属地。"},
                               request.version(), Audience::ApiWrite, {});
    StringResponse allowed{http::status::no_content, request.version()};
    allowed.set(http::field::allow, "POST, DELETE, OPTIONS");
    allowed.set(http::field::cache_control, "no-store");
    if (!origin.empty()) {
        allowed.set(http::field::access_control_allow_origin, beastView(origin));
        allowed.set(http::field::access_control_allow_methods, "POST, DELETE");
        allowed.set(http::field::access_control_allow_headers, "Content-Type");
        allowed.set(http::field::access_control_max_age, "600");
    }
    return allowed;
}

std::variant<JsonWrite, Refusal>
jsonWrite(std::string_view body, std::initializer_list<const char *> names, std::string_view shape)
{
    const Refusal refusal{http::status::bad_request, "json_body_invalid",
                          "请求应为 JSON 对象：" + std::string(shape)};
    const auto object = nlohmann::json::parse(body, nullptr, false);
    if (!object.is_object())
        return refusal;
    std::vector<std::string> fields;
    for (const char *name : names) {
        const auto field = object.find(name);
        if (field == object.end() || field->is_null())
            fields.emplace_back();
        else if (field->is_string())
            fields.push_back(field->get<std::string>());
        else
            return refusal;
    }
    if (fields.empty() || fields.front().empty())
        return refusal;
    auto number = decodeUtf8(fields.front());
    if (!number)
        return Refusal{http::status::bad_request, "number_not_utf8", "号码不是有效的 UTF-8 文本。"};
    return JsonWrite{std::move(*number), std::move(fields)};
}

std::variant<FormWrite, Refusal> formWrite(const Request &request, const SiteLabels &labels,
                                          std::string_view elsewhere)
{
    if (!fromThisSite(request, labels.siteNames))
        return Refusal{http::status::forbidden, "origin_not_allowed", std::string(elsewhere)};
    const std::string number = formValue(request.body(), "number");
    auto title = decodeUtf8(number);
    if (!title)
        return Refusal{http::status::bad_request, "number_not_utf8", "号码不是有效的 UTF-8 文本。"};
    return FormWrite{std::move(*title),
                     std::string(kLookupPagePath) + "?number=" + percentEncode(number)};
}

RouteTable writeRoutes(const Site &site, size_t bodyLimit, std::string_view apiPath,
                       std::string apiLabel, WriteHandler api, std::string_view formPath,
                       std::string formLabel, WriteHandler form)
{
    const auto handler = [&site](WriteHandler write) {
        return [&site, write](const RouteContext &context, LaterAnswer answer) {
            write(context, std::move(answer), site);
        };
    };
    // The API's writes answer browsers only where the operator said they may.
    const auto apiHandler = [&site, api](const RouteContext &context, LaterAnswer answer) {
        const Request &request = context.request;
        const std::vector<std::string> &origins = site.labels().corsOrigins;
        if (request.method() == http::verb::options) {
            answer.send({preflightResponse(request, origins), std::nullopt});
            return;
        }
        std::string origin(listedOrigin(request, origins));
        if (auto refusal = apiWriteRefusal(request, site.labels())) {
            Response refused = refusalResponse(*refusal, request.version(), Audience::ApiWrite, {});
            allowOrigin(refused, origin);
            answer.send({std::move(refused), std::nullopt});
            return;
        }
        api(context, readableBy(std::move(origin), std::move(answer)), site);
    };
    using Match = Route::Match;
    return {
        {std::string(apiPath), Match::Exact, kPost | kDelete | kOptions, std::move(apiLabel),
         Audience::ApiWrite, bodyLimit, nullptr, apiHandler},
        {std::string(formPath), Match::Exact, kPost, std::move(formLabel), Audience::Page,
         bodyLimit, nullptr, handler(form)},
    };
}

Refusal writeRefusal(const WriteOutcome &outcome, std::string_view limited,
                     std::string_view notFound)
{
    if (outcome.result == WriteOutcome::Result::RateLimited)
        return {http::status::too_many_requests, "daily_limit",
                "同一网络一天最多提交 " + std::to_string(LabelStore::kReportsADay) + " " +
                    std::string(limited) + "，请明天再试。",
                outcome.retryAfter};
    if (outcome.result == WriteOutcome::Result::NotFound)
        return {http::status::not_found, "nothing_to_withdraw", std::string(notFound)};
    // The store knows best when it may work again.
    Refusal unavailable = storeUnavailable();
    if (outcome.retryAfter.count() > 0)
        unavailable.retryAfter = outcome.retryAfter;
    return unavailable;
}

std::function<void(WriteOutcome)>
answerWrite(LaterAnswer answer, unsigned version, Audience audience, std::string backPath,
            std::function<Refusal(const WriteOutcome &)> refusalOf,
            std::function<StringResponse(const WriteOutcome &)> accepted)
{
    auto later = std::make_shared<LaterAnswer>(std::move(answer));
    return
        [later, version, audience, backPath = std::move(backPath), refusalOf = std::move(refusalOf),
         accepted = std::move(accepted)](const WriteOutcome &outcome) {
            using Result = WriteOutcome::Result;
            const bool taken = outcome.result == Result::Created ||
                outcome.result == Result::Replaced || outcome.result == Result::Withdrawn;
            later->send({taken ? accepted(outcome)
                               : refusalResponse(refusalOf(outcome), version, audience, backPath),
                         std::nullopt});
        };
}

StringResponse withdrawnResponse(unsigned version)
{
    StringResponse done{http::status::no_content, version};
    done.set(http::field::cache_control, "no-store");
    return done;
}

StringResponse backToPage(unsigned version, const std::string &page)
{
    StringResponse seeOther{http::status::see_other, version};
    seeOther.set(http::field::location, page);
    seeOther.set(http::field::cache_control, "no-store");
    // Content-Length: 0, or a kept-alive client waits for a body until the connection ends.
    seeOther.prepare_payload();
    return seeOther;
}

StringResponse storedResponse(const WriteOutcome &outcome, unsigned version, std::string json)
{
    return noStoreResponse(outcome.result == WriteOutcome::Result::Created ? http::status::created
                                                                           : http::status::ok,
                           version, kJsonContentType, std::move(json));
}

}  // namespace zuno::service
