// SPDX-License-Identifier: Apache-2.0
#include "site/community/report_routes.h"

#include "site/community/write_answers.h"
#include "site/community/write_input.h"
#include "site/community/write_routes.h"

#include "http/query.h"
#include "site/community/label_section.h"
#include "site/community/place_routes.h"
#include "site/error_responses.h"
#include "site/lookup/lookup_json.h"
#include "site/lookup/lookup_page.h"
#include "site/lookup/lookup_reply.h"
#include "site/pages/pages.h"
#include "site/site.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

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

// The E.164 form of a number that can be labelled: a valid full-length Chinese number.
std::variant<std::string, Refusal> labelledNumber(const Site &site, std::u16string_view title)
{
    const LookupOutcome outcome = site.lookup().lookup(title);
    if (!outcome.valid())
        return Refusal{http::status::bad_request, verdictCode(outcome.verdict),
                       toUtf8(problemMessage(outcome.verdict, title))};
    if (outcome.e164.empty())
        return Refusal{http::status::bad_request, "short_number",
                       "短号码不能标记。请输入完整的手机号码或带区号的固定电话，例如 "
                       "13800138000。"};
    return outcome.e164;
}

// Says which category is unknown: at most kMostEchoedBytes of it, cut where a character begins;
// nothing of it when those bytes are not UTF-8.
std::string unknownCategory(std::string_view category)
{
    constexpr size_t kMostEchoedBytes = 64;
    size_t cut = std::min(category.size(), kMostEchoedBytes);
    if (cut < category.size())
        while (cut > 0 && (static_cast<unsigned char>(category[cut]) & 0xC0) == 0x80)
            --cut;
    const std::string_view shown = category.substr(0, cut);
    if (!decodeUtf8(shown))
        return "没有这个分类。";
    return "没有“" + std::string(shown) + (cut < category.size() ? "…" : "") + "”这个分类。";
}

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == u'\u2028' || c == u'\u2029';
}

std::optional<Refusal> commentProblem(std::string_view comment)
{
    const auto text = decodeUtf8(comment);
    if (!text || std::any_of(text->begin(), text->end(), isControl))
        return Refusal{http::status::bad_request, "comment_invalid",
                       "说明只能是一行文字：其中有无效的 UTF-8 字节或控制字符。"};
    const size_t characters = static_cast<size_t>(std::count_if(
        text->begin(), text->end(), [](char16_t c) { return c < 0xDC00 || c > 0xDFFF; }));
    if (characters > kMostCommentCharacters)
        return Refusal{http::status::bad_request, "comment_too_long",
                       "说明最多 " + std::to_string(kMostCommentCharacters) + " 个字，现在有 " +
                           std::to_string(characters) + " 个。"};
    return std::nullopt;
}

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
        return Refusal{http::status::bad_request, "unknown_category",
                       unknownCategory(category) + "可选的分类：" + names + "。"};
    }
    if (auto problem = commentProblem(comment))
        return std::move(*problem);
    return StoredReport{std::move(std::get<std::string>(e164)), reporterOf(site, context), *known,
                        std::string(comment), 0};
}

json reportObject(const StoredReport &report)
{
    return {{"number", report.number},
            {"category", std::string(categoryName(report.category))},
            {"comment", report.comment},
            {"reported", formatDay(chinaDay(report.reportedAt))}};
}

Refusal reportRefusal(const WriteOutcome &outcome)
{
    return writeRefusal(outcome, "条标记", "这个网络没有标记过这个号码。");
}

void apiReport(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    const unsigned version = context.request.version();
    const auto refuse = [&](const Refusal &refusal) {
        answer.send({refusalResponse(refusal, version, Audience::Api, {}), std::nullopt});
    };
    if (context.request.method() == http::verb::delete_) {
        const auto numberOf = [&site](std::u16string_view title) {
            return labelledNumber(site, title);
        };
        return apiWithdraw(context, std::move(answer), site, "/api/v1/reports?number=13800138000",
                           numberOf, &LabelStore::withdraw, reportRefusal);
    }

    auto sent = jsonWrite(context.request.body(), {"number", "category", "comment"},
                          "{\"number\": \"13800138000\", \"category\": \"骚扰电话\", "
                          "\"comment\": \"可不填\"}");
    if (auto *refusal = std::get_if<Refusal>(&sent))
        return refuse(*refusal);
    const auto &[title, fields] = std::get<JsonWrite>(sent);
    auto checked = checkedReport(site, context, title, fields[1], fields[2]);
    if (auto *refusal = std::get_if<Refusal>(&checked))
        return refuse(*refusal);
    const Site *shown = &site;
    site.labels().store->report(
        std::move(std::get<StoredReport>(checked)),
        answerWrite(std::move(answer), version, Audience::Api, {}, reportRefusal,
                    [version, shown](const WriteOutcome &outcome) {
                        json stored = reportObject(outcome.report);
                        const auto key = numberKey(outcome.report.number);
                        const auto label = key ? shown->labels().store->board().current().find(*key)
                                               : std::nullopt;
                        stored["label"] = label ? json::parse(labelJson(*label)) : json(nullptr);
                        return storedResponse(outcome, version, stored.dump());
                    }));
}

void formReport(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    const unsigned version = context.request.version();
    const auto refuse = [&](const Refusal &refusal, std::string_view backPath) {
        answer.send({refusalResponse(refusal, version, Audience::Page, backPath), std::nullopt});
    };
    auto posted = formWrite(context.request, site.labels(), "只能从本站的查询结果页提交标记。");
    if (auto *refusal = std::get_if<Refusal>(&posted))
        return refuse(*refusal, "/");
    const auto &[title, back] = std::get<FormWrite>(posted);
    const std::string &body = context.request.body();
    auto checked = checkedReport(site, context, title, formValue(body, "category"),
                                 formValue(body, "comment"));
    if (auto *refusal = std::get_if<Refusal>(&checked))
        return refuse(*refusal, back);
    std::string page = std::string(kLookupPagePath) +
        "?number=" + percentEncode(std::get<StoredReport>(checked).number);
    site.labels().store->report(
        std::move(std::get<StoredReport>(checked)),
        answerWrite(std::move(answer), version, Audience::Page, page, reportRefusal,
                    [version, page](const WriteOutcome &) { return backToPage(version, page); }));
}

}  // namespace

RouteTable reportRoutes(const Site &site)
{
    return writeRoutes(site, kReportBodyLimit, kApiReportsPath, "api_reports", apiReport,
                       kReportFormPath, "reports", formReport);
}

void lookupPageWithLabels(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    std::u16string title =
        decodeFormTitle(queryParameter(context.query, kNumberParameter).value_or(""));
    LookupOutcome outcome = site.answer(title);
    const unsigned version = context.request.version();
    const auto verdict = outcome.verdict;
    if (outcome.form == QueryForm::Block && site.labels().store) {
        answer.send({noStoreResponse(http::status::ok, version, kHtmlContentType,
                                     lookupPageHtml(outcome, title, placeFormHtml(outcome))),
                     verdict});
        return;
    }
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
