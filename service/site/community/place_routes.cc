// SPDX-License-Identifier: Apache-2.0
#include "site/community/place_routes.h"

#include "http/query.h"
#include "number/segment_table.h"
#include "number/typed_queries.h"
#include "site/community/label_section.h"
#include "site/community/write_answers.h"
#include "site/community/write_input.h"
#include "site/community/write_routes.h"
#include "site/lookup/lookup_reply.h"
#include "site/pages/pages.h"
#include "site/site.h"
#include "text/gbk_codec.h"
#include "text/html.h"
#include "text/utf8.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <variant>

namespace zuno::service {
namespace {

using json = nlohmann::ordered_json;

// A place body is a number, a province and a city: 4 KiB is plenty, as for reports.
constexpr size_t kPlaceBodyLimit = 4096;
constexpr size_t kMostCityCharacters = 10;

// A network's place for a block, checked, and the number it was given for.
struct CheckedPlace {
    StoredPlace place;
    std::string e164;
};

bool isHan(char16_t c) { return c >= 0x4E00 && c <= 0x9FFF; }

// The block of a mobile number the data names no place for, or why a place cannot be given.
std::variant<std::pair<std::string, BlockKey>, Refusal> placelessBlock(const Site &site,
                                                                       std::u16string_view title)
{
    const LookupOutcome outcome = site.lookup().lookup(title);
    if (!outcome.valid())
        return Refusal{http::status::bad_request, verdictCode(outcome.verdict),
                       toUtf8(problemMessage(outcome.verdict, title))};
    const auto block = mobileBlock(outcome.e164);
    if (!block)
        return Refusal{http::status::bad_request, "not_mobile_block",
                       "只能为手机号码的号段补充归属地，例如 19912345678。"};
    if (!outcome.place.empty())
        return Refusal{http::status::bad_request, "block_has_location",
                       "此号段已有归属地：" + toUtf8(outcome.place) + "。"};
    return std::pair{outcome.e164, *block};
}

std::variant<CheckedPlace, Refusal> checkedPlace(const Site &site, const RouteContext &context,
                                                 std::u16string_view number,
                                                 std::string_view province, std::string_view city)
{
    if (!site.labels().store)
        return storeUnavailable();
    auto block = placelessBlock(site, number);
    if (auto *refusal = std::get_if<Refusal>(&block))
        return std::move(*refusal);
    const auto provinceText = decodeUtf8(province);
    const auto cityText = decodeUtf8(city);
    if (!cityText || cityText->size() > kMostCityCharacters ||
        !std::all_of(cityText->begin(), cityText->end(), isHan))
        return Refusal{http::status::bad_request, "city_invalid",
                       "城市只能是 " + std::to_string(kMostCityCharacters) +
                           " 个字以内的汉字，例如 深圳市；也可不填。"};
    const auto place = provinceText ? provincialPlace(*provinceText, *cityText) : std::nullopt;
    if (!place)
        return Refusal{http::status::bad_request, "province_invalid",
                       "请从列表中选择省份，写全称，例如 广东省、广西壮族自治区。"};
    auto &[e164, key] = std::get<std::pair<std::string, BlockKey>>(block);
    return CheckedPlace{{std::to_string(key), reporterOf(site, context), toUtf8(*place)},
                        std::move(e164)};
}

Refusal placeRefusal(const WriteOutcome &outcome)
{
    return writeRefusal(outcome, "条标记和归属地", "这个网络没有为这个号段补充过归属地。");
}

void apiPlace(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    const unsigned version = context.request.version();
    const auto refuse = [&](const Refusal &refusal) {
        answer.send({refusalResponse(refusal, version, Audience::Api, {}), std::nullopt});
    };
    if (context.request.method() == http::verb::delete_) {
        const auto blockOf = [&site](std::u16string_view title) -> std::variant<std::string, Refusal> {
            auto block = placelessBlock(site, title);
            if (auto *refusal = std::get_if<Refusal>(&block))
                return std::move(*refusal);
            return std::to_string(std::get<std::pair<std::string, BlockKey>>(block).second);
        };
        return apiWithdraw(context, std::move(answer), site, "/api/v1/places?number=19912345678",
                           blockOf, &LabelStore::withdrawPlace, placeRefusal);
    }

    auto sent = jsonWrite(context.request.body(), {"number", "province", "city"},
                          "{\"number\": \"19912345678\", \"province\": \"广东省\", "
                          "\"city\": \"深圳市\"}");
    if (auto *refusal = std::get_if<Refusal>(&sent))
        return refuse(*refusal);
    const auto &[title, fields] = std::get<JsonWrite>(sent);
    auto checked = checkedPlace(site, context, title, fields[1], fields[2]);
    if (auto *refusal = std::get_if<Refusal>(&checked))
        return refuse(*refusal);
    CheckedPlace &place = std::get<CheckedPlace>(checked);
    const json stored = {
        {"number", place.e164}, {"block", place.place.block}, {"location", place.place.place}};
    site.labels().store->reportPlace(
        std::move(place.place),
        answerWrite(std::move(answer), version, Audience::Api, {}, placeRefusal,
                    [version, stored](const WriteOutcome &outcome) {
                        return storedResponse(outcome, version, stored.dump());
                    }));
}

void formPlace(const RouteContext &context, LaterAnswer answer, const Site &site)
{
    const unsigned version = context.request.version();
    const auto refuse = [&](const Refusal &refusal, std::string_view backPath) {
        answer.send({refusalResponse(refusal, version, Audience::Page, backPath), std::nullopt});
    };
    auto posted = formWrite(context.request, site.labels(), "只能从本站的查询结果页补充归属地。");
    if (auto *refusal = std::get_if<Refusal>(&posted))
        return refuse(*refusal, "/");
    const auto &[title, back] = std::get<FormWrite>(posted);
    const std::string &body = context.request.body();
    auto checked =
        checkedPlace(site, context, title, formValue(body, "province"), formValue(body, "city"));
    if (auto *refusal = std::get_if<Refusal>(&checked))
        return refuse(*refusal, back);
    CheckedPlace &place = std::get<CheckedPlace>(checked);
    const std::string page = std::string(kLookupPagePath) + "?number=" + percentEncode(place.e164);
    site.labels().store->reportPlace(
        std::move(place.place),
        answerWrite(std::move(answer), version, Audience::Page, page, placeRefusal,
                    [version, page](const WriteOutcome &) { return backToPage(version, page); }));
}

}  // namespace

RouteTable placeRoutes(const Site &site)
{
    return writeRoutes(site, kPlaceBodyLimit, kApiPlacesPath, "api_places", apiPlace,
                       kPlaceFormPath, "places", formPlace);
}

std::string placeFormHtml(const LookupOutcome &outcome)
{
    // A block typed alone is offered for its first number.
    const std::string number = firstNumberOf(outcome);
    if (!outcome.valid() || !outcome.place.empty() || !mobileBlock(number))
        return {};
    std::string html = "<section class=\"labels\">\n<h2>补充归属地</h2>\n"
                       "<p>这个号段暂无归属地数据。三个以上不同网络的用户给出同一地点后，"
                       "本号段的号码会显示该地点，并注明“用户提供”。</p>\n<form action=\"" +
        std::string(kPlaceFormPath) +
        "\" method=\"post\" accept-charset=\"utf-8\">\n<input type=\"hidden\" name=\"number\" "
        "value=\"" +
        escapeHtml(number) +
        "\">\n<label for=\"province\">省份</label>\n"
        "<select id=\"province\" name=\"province\" required>\n<option value=\"\">请选择</option>\n";
    for (const std::u16string_view name : provinceNames())
        html += "<option>" + toUtf8(name) + "</option>\n";
    html += "</select>\n<label for=\"city\">城市（可不填）</label>\n"
            "<input type=\"text\" id=\"city\" name=\"city\" maxlength=\"" +
        std::to_string(kMostCityCharacters) +
        "\">\n<button type=\"submit\">提交归属地</button>\n</form>\n"
        "<p>每个网络对每个号段只算一次，再次提交会替换之前的地点。</p>\n</section>\n";
    return html;
}

}  // namespace zuno::service
