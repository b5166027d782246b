// SPDX-License-Identifier: Apache-2.0
#include "site/community/write_routes.h"

#include "http/query.h"
#include "site/community/cross_site.h"
#include "site/community/write_answers.h"
#include "site/community/write_input.h"
#include "site/pages/pages.h"
#include "site/site.h"

#include <utility>

namespace zuno::service {

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

void apiWithdraw(const RouteContext &context, LaterAnswer answer, const Site &site,
                 std::string_view example, const WithdrawTarget &target, Withdrawal withdraw,
                 std::function<Refusal(const WriteOutcome &)> refusalOf)
{
    const unsigned version = context.request.version();
    const auto refuse = [&](const Refusal &refusal) {
        answer.send({refusalResponse(refusal, version, Audience::Api, {}), std::nullopt});
    };
    const auto raw = queryParameter(context.query, kNumberParameter);
    if (!raw)
        return refuse({http::status::bad_request, "number_missing",
                       "缺少参数 number，例如 " + std::string(example)});
    if (!site.labels().store)
        return refuse(storeUnavailable());
    auto key = target(decodeFormTitle(*raw));
    if (auto *refusal = std::get_if<Refusal>(&key))
        return refuse(*refusal);
    (site.labels().store->*withdraw)(
        std::move(std::get<std::string>(key)), reporterOf(site, context),
        answerWrite(std::move(answer), version, Audience::Api, {}, std::move(refusalOf),
                    [version](const WriteOutcome &) { return withdrawnResponse(version); }));
}

}  // namespace zuno::service
