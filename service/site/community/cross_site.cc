// SPDX-License-Identifier: Apache-2.0
#include "site/community/cross_site.h"

#include "http/query.h"
#include "http/responses.h"
#include "http/web_origin.h"
#include "site/site.h"

#include <boost/beast/core/string.hpp>

#include <memory>
#include <optional>
#include <utility>

namespace zuno::service {

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

}  // namespace zuno::service
