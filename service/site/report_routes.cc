// SPDX-License-Identifier: Apache-2.0
#include "report_routes.h"

#include "report_checks.h"

#include "gbk_codec.h"
#include "label_section.h"
#include "lookup_json.h"
#include "lookup_reply.h"
#include "pages.h"
#include "place_routes.h"
#include "request_handler.h"
#include "site.h"
#include "title_decoder.h"
#include "web_text.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <variant>

namespace zuno::service {
namespace {

using json = nlohmann::ordered_json;

// A report body is a number, a category and a short comment: 4 KiB is plenty.
constexpr size_t kReportBodyLimit = 4096;
constexpr size_t kMostCommentCharacters = 140;
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
    StringResponse message = audience == Audience::Api
        ? noStoreResponse(refusal.status, version, kJsonContentType, jsonError(refusal.sentence))
        : noStoreResponse(refusal.status, version, kHtmlContentType,
                          refusalPageHtml(refusal.status, refusal.sentence, backPath));
    if (refusal.retryAfter.count() > 0)
        message.set(http::field::retry_after, std::to_string(refusal.retryAfter.count()));
    return message;
}

namespace {

// The E.164 form of a number that can be labelled: a valid full-length Chinese number.
std::variant<std::string, Refusal> labelledNumber(const Site &site, std::u16string_view title)
{
    const LookupOutcome outcome = site.lookup().lookup(title);
    if (!outcome.valid())
        return Refusal{http::status::bad_request, toUtf8(problemMessage(outcome.verdict, title))};
    if (outcome.e164.empty())
        return Refusal{http::status::bad_request,
                       "短号码不能标记。请输入完整的手机号码或带区号的固定电话，例如 "
                       "13800138000。"};
    return outcome.e164;
}

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == u'\u2028' || c == u'\u2029';
}

std::optional<Refusal> commentProblem(std::string_view comment)
{
    const auto text = decodeUtf8(comment);
    if (!text || std::any_of(text->begin(), text->end(), isControl))
        return Refusal{http::status::bad_request,
                       "说明只能是一行文字：其中有无效的 UTF-8 字节或控制字符。"};
    const size_t characters = static_cast<size_t>(std::count_if(
        text->begin(), text->end(), [](char16_t c) { return c < 0xDC00 || c > 0xDFFF; }));
    if (characters > kMostCommentCharacters)
        return Refusal{http::status::bad_request,
                       "说明最多 " + std::to_string(kMostCommentCharacters) + " 个字，现在有 " +
                           std::to_string(characters) + " 个。"};
    return std::nullopt;
}

}  // namespace

Refusal storeUnavailable()
{
    return {http::status::service_unavailable, "标记暂时无法保存，请稍后再试；查询不受影响。",
            std::chrono::seconds(5)};
}

// The network that reports, from the connection or, behind a trusted proxy, its header.
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

namespace {

// A report as sent, checked; the store keeps what this returns.
std::variant<StoredReport, Refusal> checkedReport(const Site &site, const RouteContext &context,
                                                  std::u16string_view number,
                                                  std::string_view category,
                                                  std::string_view comment)
{
    if (!site.labels().store)
        return storeUnavailable();
    auto e164 = labelledNumber(site, number);
    if (auto *refusal = std::get_if<Refusal>(&e164))
        return std::move(*refusal);
    const auto known = categoryNamed(category);
    if (!known) {
        std::string names;
        for (const std::string_view name : kCategoryNames)
            names.append(names.empty() ? "" : "、").append(name);
        return Refusal{http::status::bad_request,
                       "没有“" + toUtf8(fromUtf8(category.substr(0, 64))) +
                           "”这个分类。可选的分类：" + names + "。"};
    }
    if (auto problem = commentProblem(comment))
        return std::move(*problem);
    return StoredReport{std::move(std::get<std::string>(e164)), reporterOf(site, context), *known,
                        std::string(comment), 0};
}

}  // namespace

// A form field's value: '+' is a space, then percent-decoded.
std::string formValue(std::string_view body, std::string_view name)
{
    std::string raw(queryParameter(body, name).value_or(""));
    std::replace(raw.begin(), raw.end(), '+', ' ');
    return percentDecode(raw);
}

// Whether the request comes from this site's own pages: Sec-Fetch-Site says so where the browser
// sends it (our pages' no-referrer policy makes browsers send "Origin: null" even from this
// site); otherwise the Origin field, or without one the Referer, must name this site. A request
// with none of them comes from no other page.
bool fromThisSite(const Request &request)
{
    const std::string_view fetchSite = plainView(request["Sec-Fetch-Site"]);
    if (!fetchSite.empty())
        return fetchSite == "same-origin";
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
    const std::string_view host = plainView(request[http::field::host]);
    return !host.empty() && boost::beast::iequals(beastView(authority), beastView(host));
}

namespace {

json reportObject(const StoredReport &report)
{
    return {{"number", report.number},
            {"category", std::string(categoryName(report.category))},
            {"comment", report.comment},
            {"reported", formatDay(chinaDay(report.reportedAt))}};
}

void apiReport(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    const unsigned version = context.request.version();
    const auto refuse = [&](const Refusal &refusal) {
        answer.send({refusalResponse(refusal, version, Audience::Api, {}), std::nullopt});
    };
    if (context.request.method() == http::verb::delete_) {
        const auto raw = queryParameter(context.query, kNumberParameter);
        if (!raw)
            return refuse({http::status::bad_request,
                           "缺少参数 number，例如 /api/v1/reports?number=13800138000"});
        if (!site.labels().store)
            return refuse(storeUnavailable());
        std::string spaced(*raw);
        std::replace(spaced.begin(), spaced.end(), '+', ' ');
        auto e164 = labelledNumber(site, decodeTitle(spaced));
        if (auto *refusal = std::get_if<Refusal>(&e164))
            return refuse(*refusal);
        auto later = std::make_shared<LaterAnswer>(std::move(answer));
        site.labels().store->withdraw(
            std::move(std::get<std::string>(e164)), reporterOf(site, context),
            [later, version](WriteOutcome outcome) {
                using Result = WriteOutcome::Result;
                if (outcome.result == Result::Withdrawn) {
                    StringResponse done{http::status::no_content, version};
                    done.set(http::field::cache_control, "no-store");
                    later->send({std::move(done), std::nullopt});
                } else {
                    later->send({refusalResponse(outcome.result == Result::NotFound
                                                     ? Refusal{http::status::not_found,
                                                               "这个网络没有标记过这个号码。"}
                                                     : storeUnavailable(),
                                                 version, Audience::Api, {}),
                                 std::nullopt});
                }
            });
        return;
    }

    const json body = json::parse(context.request.body(), nullptr, false);
    const auto text = [&](const char *name) -> std::optional<std::string> {
        if (!body.is_object() || !body.contains(name) || body[name].is_null())
            return std::string();
        if (!body[name].is_string())
            return std::nullopt;
        return body[name].get<std::string>();
    };
    const auto number = text("number");
    const auto category = text("category");
    const auto comment = text("comment");
    if (!body.is_object() || !number || !category || !comment || number->empty())
        return refuse({http::status::bad_request,
                       "请求应为 JSON 对象：{\"number\": \"13800138000\", \"category\": "
                       "\"骚扰电话\", \"comment\": \"可不填\"}"});
    const auto title = decodeUtf8(*number);
    if (!title)
        return refuse({http::status::bad_request, "号码不是有效的 UTF-8 文本。"});
    auto checked = checkedReport(site, context, *title, *category, *comment);
    if (auto *refusal = std::get_if<Refusal>(&checked))
        return refuse(*refusal);
    auto later = std::make_shared<LaterAnswer>(std::move(answer));
    const Site *shown = &site;
    site.labels().store->report(
        std::move(std::get<StoredReport>(checked)), [later, version, shown](WriteOutcome outcome) {
            using Result = WriteOutcome::Result;
            if (outcome.result != Result::Created && outcome.result != Result::Replaced) {
                later->send(
                    {refusalResponse(outcome.result == Result::RateLimited
                                         ? Refusal{http::status::too_many_requests,
                                                   "同一网络一天最多提交 " +
                                                       std::to_string(LabelStore::kReportsADay) +
                                                       " 条标记，请明天再试。",
                                                   outcome.retryAfter}
                                         : storeUnavailable(),
                                     version, Audience::Api, {}),
                     std::nullopt});
                return;
            }
            json stored = reportObject(outcome.report);
            const auto key = numberKey(outcome.report.number);
            const auto label =
                key ? shown->labels().store->board().current().find(*key) : std::nullopt;
            stored["label"] = label ? json::parse(labelJson(*label)) : json(nullptr);
            later->send({noStoreResponse(outcome.result == Result::Created ? http::status::created
                                                                           : http::status::ok,
                                         version, kJsonContentType, stored.dump()),
                         std::nullopt});
        });
}

void formReport(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    const unsigned version = context.request.version();
    const std::string &body = context.request.body();
    const std::string number = formValue(body, "number");
    const std::string back = std::string(kLookupPagePath) + "?number=" + percentEncode(number);
    const auto refuse = [&](const Refusal &refusal, std::string_view backPath) {
        answer.send({refusalResponse(refusal, version, Audience::Page, backPath), std::nullopt});
    };
    if (!fromThisSite(context.request))
        return refuse({http::status::forbidden, "只能从本站的查询结果页提交标记。"}, "/");
    const auto title = decodeUtf8(number);
    if (!title)
        return refuse({http::status::bad_request, "号码不是有效的 UTF-8 文本。"}, "/");
    auto checked = checkedReport(site, context, *title, formValue(body, "category"),
                                 formValue(body, "comment"));
    if (auto *refusal = std::get_if<Refusal>(&checked))
        return refuse(*refusal, back);
    auto later = std::make_shared<LaterAnswer>(std::move(answer));
    const std::string page = std::string(kLookupPagePath) +
        "?number=" + percentEncode(std::get<StoredReport>(checked).number);
    site.labels().store->report(
        std::move(std::get<StoredReport>(checked)), [later, version, page](WriteOutcome outcome) {
            using Result = WriteOutcome::Result;
            if (outcome.result == Result::Created || outcome.result == Result::Replaced) {
                StringResponse seeOther{http::status::see_other, version};
                seeOther.set(http::field::location, page);
                seeOther.set(http::field::cache_control, "no-store");
                later->send({std::move(seeOther), std::nullopt});
                return;
            }
            later->send(
                {refusalResponse(outcome.result == Result::RateLimited
                                     ? Refusal{http::status::too_many_requests,
                                               "同一网络一天最多提交 " +
                                                   std::to_string(LabelStore::kReportsADay) +
                                                   " 条标记，请明天再试。",
                                               outcome.retryAfter}
                                     : storeUnavailable(),
                                 version, Audience::Page, page),
                 std::nullopt});
        });
}

}  // namespace

RouteTable reportRoutes(const Site &site)
{
    using Match = Route::Match;
    return {
        {std::string(kApiReportsPath), Match::Exact, kPost | kDelete, "api_reports", Audience::Api,
         kReportBodyLimit, nullptr,
         [&site](const RouteContext &context, LaterAnswer answer) {
             apiReport(context, std::move(answer), site);
         }},
        {std::string(kReportFormPath), Match::Exact, kPost, "reports", Audience::Page,
         kReportBodyLimit, nullptr,
         [&site](const RouteContext &context, LaterAnswer answer) {
             formReport(context, std::move(answer), site);
         }},
    };
}

void lookupPageWithLabels(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    std::string spaced(queryParameter(context.query, kNumberParameter).value_or(""));
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    std::u16string title = decodeTitle(spaced);
    LookupOutcome outcome = site.answer(title);
    const unsigned version = context.request.version();
    const auto verdict = outcome.verdict;
    if (!outcome.valid() || outcome.e164.empty() || !site.labels().store) {
        answer.send({noStoreResponse(http::status::ok, version, kHtmlContentType,
                                     lookupPageHtml(outcome, title)),
                     verdict});
        return;
    }
    auto later = std::make_shared<LaterAnswer>(std::move(answer));
    const std::string e164 = outcome.e164;
    const Site *shown = &site;
    site.labels().store->details(
        e164,
        [later, version, shown, outcome = std::move(outcome),
         title = std::move(title)](NumberDetails details) {
            const std::string section =
                labelSectionHtml(outcome.e164, shown->labelOf(outcome), details, true) +
                placeFormHtml(outcome);
            StringResponse page = noStoreResponse(http::status::ok, version, kHtmlContentType,
                                                  lookupPageHtml(outcome, title, section));
            page.set(http::field::cache_control, "no-cache");
            later->send({std::move(page), outcome.verdict});
        });
}

}  // namespace zuno::service
