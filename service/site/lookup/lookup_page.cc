// SPDX-License-Identifier: Apache-2.0
#include "site/lookup/lookup_page.h"

#include "http/query.h"
#include "number/data_versions.h"
#include "number/number_lookup.h"
#include "site/lookup/lookup_reply.h"
#include "site/pages/pages.h"
#include "text/html.h"
#include "text/utf8.h"

#include <utility>

namespace zuno::service {
namespace {

// An area code's places, or the places of a name, each in full with its code.
void appendPlacesTable(std::string &html, const LookupOutcome &outcome)
{
    html += "<table class=\"result\">\n<tr><th>查询类型</th><td>" +
        escapeHtml(toUtf8(outcome.kind)) + "</td></tr>\n";
    if (outcome.form == QueryForm::AreaCode)
        html += "<tr><th>区号</th><td>" + escapeHtml(toUtf8(outcome.areaCode)) + "</td></tr>\n";
    html += "</table>\n<table class=\"result\">\n<tr><th>地区</th><th>区号</th></tr>\n";
    for (const PlaceCode &place : outcome.places)
        html += "<tr><td>" + escapeHtml(toUtf8(place.place)) + "</td><td>" +
            escapeHtml(toUtf8(place.code)) + "</td></tr>\n";
    html += "</table>\n<p>地名与区号来自内置数据（libphonenumber " +
        std::string(kPhoneNumberDataVersion) + "）。</p>\n";
}

}  // namespace

std::string lookupPageHtml(const LookupOutcome &outcome, std::u16string_view title,
                           std::string_view labelSection)
{
    const std::string input = toUtf8(title);
    std::string html;
    html.reserve(4096);
    appendHead(html, toUtf8(title.substr(0, 32)) + " 的查询结果 - " + std::string(kSiteName));
    appendForm(html, input);
    const std::u16string message = outcomeMessage(outcome, title);
    if (outcome.form == QueryForm::AreaCode || outcome.form == QueryForm::PlaceName) {
        appendPlacesTable(html, outcome);
    } else if (outcome.valid() || !outcome.place.empty()) {
        html += "<table class=\"result\">\n";
        const std::u16string carrier = carrierLabel(outcome);
        const std::u16string place = outcome.placeSource == PlaceSource::Community
            ? outcome.place + u"（用户提供）"
            : outcome.place;
        const std::pair<const char *, const std::u16string *> rows[] = {
            {outcome.form == QueryForm::Number ? "号码" : "号段", &outcome.number},
            {"分机", &outcome.extension},
            {"归属地", &place},
            {"区号", &outcome.areaCode},
            {"运营商", &carrier},
            {"类型", &outcome.kind},
            {"用途", &outcome.owner},
        };
        for (const auto &[label, value] : rows) {
            if (value->empty())
                continue;
            html += "<tr><th>";
            html += label;
            html += "</th><td>" + escapeHtml(toUtf8(*value)) + "</td></tr>\n";
        }
        if (!outcome.e164.empty())
            html += "<tr><th>国际格式</th><td>" + escapeHtml(outcome.e164) + "</td></tr>\n";
        if (outcome.placeSource == PlaceSource::Segments)
            html += "<tr><th>归属地来源</th><td>号段文件 " + escapeHtml(outcome.sourceName) + "（" +
                escapeHtml(outcome.sourceDate) + "）</td></tr>\n";
        else if (outcome.placeSource == PlaceSource::Community)
            html +=
                "<tr><th>归属地来源</th><td>用户提供：至少三个网络的用户给出了同一地点</td></tr>\n";
        else if (outcome.placeSource == PlaceSource::Builtin)
            html += "<tr><th>归属地来源</th><td>内置数据（libphonenumber " +
                std::string(kPhoneNumberDataVersion) + "）</td></tr>\n";
        html += "</table>\n";
        html += labelSection;
    }
    if (!message.empty()) {
        html += "<p class=\"problem\">";
        html += escapeHtml(toUtf8(message));
        html += "</p>\n";
    }
    html += "<p><a href=\"";
    html += kApiLookupPath;
    html += "?number=" + percentEncode(input) +
        "\">以 JSON 查看</a> · <a href=\"/\">返回首页</a></p>\n"
        "</body>\n</html>\n";
    return html;
}

}  // namespace zuno::service
