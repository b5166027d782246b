// SPDX-License-Identifier: Apache-2.0
#include "site/community/write_input.h"

#include "http/query.h"
#include "http/responses.h"
#include "site/community/cross_site.h"
#include "site/pages/pages.h"
#include "site/site.h"
#include "text/utf8.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace zuno::service {

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

}  // namespace zuno::service
