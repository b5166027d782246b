// SPDX-License-Identifier: Apache-2.0
#include "site/community/write_answers.h"

#include "http/responses.h"
#include "site/error_responses.h"
#include "site/pages/pages.h"

#include <boost/beast/http/field.hpp>

#include <memory>
#include <utility>

namespace zuno::service {

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
