// SPDX-License-Identifier: Apache-2.0
#include "site/community/label_section.h"

#include "site/lookup/lookup_reply.h"
#include "text/html.h"
#include "text/utf8.h"

namespace zuno::service {
namespace {

// Stored text as UTF-8 that is surely valid, for escaping.
std::string validUtf8(std::string_view text) { return toUtf8(fromUtf8(text)); }

}  // namespace

std::string labelSectionHtml(std::string_view e164, const std::optional<ShownLabel> &label,
                             const NumberDetails &details, bool reportsTaken)
{
    std::string html = "<section class=\"labels\">\n<h2>来电标记</h2>\n<p class=\"label\">";
    if (!label) {
        html += "暂无标记";
    } else if (!label->source.empty()) {
        html += "<strong>" + escapeHtml(std::string(categoryName(label->label.category))) +
            "</strong>（" + escapeHtml(validUtf8(label->source)) + "）";
    } else {
        html += "<strong>" +
            escapeHtml(label->label.contested ? std::string("有争议")
                                              : std::string(categoryName(label->label.category))) +
            "</strong>：" + std::to_string(label->label.reporters) + " 个网络标记，最近一次 " +
            formatDay(label->label.lastReported);
    }
    html += "</p>\n";
    if (details.late) {
        html += "<p>标记明细未能及时读出，本页暂未列出，请稍后刷新。</p>\n";
    } else if (!details.available) {
        html += "<p>标记明细暂时无法读取。</p>\n";
    } else if (details.lastReported) {
        html += "<table class=\"result\">\n";
        for (size_t i = 0; i < kCategoryCount; ++i)
            if (details.counts[i] > 0)
                html += "<tr><th>" + std::string(kCategoryNames[i]) + "</th><td>" +
                    std::to_string(details.counts[i]) + "</td></tr>\n";
        html += "<tr><th>最近标记</th><td>" + formatDay(*details.lastReported) +
            "</td></tr>\n</table>\n";
        if (!details.comments.empty()) {
            html += "<ul class=\"comments\">\n";
            for (const auto &comment : details.comments)
                html += "<li>" + formatDay(comment.day) + " " +
                    std::string(categoryName(comment.category)) + "：" +
                    escapeHtml(validUtf8(comment.text)) + "</li>\n";
            html += "</ul>\n";
        }
    } else {
        html += "<p>近期没有人标记过这个号码。</p>\n";
    }
    if (!reportsTaken) {
        html += "</section>\n";
        return html;
    }
    html += "<form action=\"" + std::string(kReportFormPath) +
        "\" method=\"post\" accept-charset=\"utf-8\">\n<input type=\"hidden\" name=\"number\" "
        "value=\"" +
        escapeHtml(e164) +
        "\">\n<label for=\"category\">标记为</label>\n"
        "<select id=\"category\" name=\"category\">\n";
    for (const std::string_view name : kCategoryNames)
        html += "<option>" + std::string(name) + "</option>\n";
    html += "</select>\n<label for=\"comment\">说明（可不填）</label>\n"
            "<input type=\"text\" id=\"comment\" name=\"comment\" maxlength=\"140\">\n"
            "<button type=\"submit\">提交标记</button>\n</form>\n"
            "<p>每个网络对每个号码只算一次，再次提交会替换之前的标记。</p>\n</section>\n";
    return html;
}

}  // namespace zuno::service
