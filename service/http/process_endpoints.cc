// SPDX-License-Identifier: Apache-2.0
#include "http/process_endpoints.h"

#include <boost/beast/http/field.hpp>

namespace zuno::service {
namespace {

Answer plainAnswer(const RouteContext &context, http::status status, std::string_view type,
                   std::string body)
{
    StringResponse response{status, context.request.version()};
    response.set(http::field::cache_control, "no-store");
    response.set(http::field::content_type, boost::beast::string_view(type.data(), type.size()));
    response.body() = std::move(body);
    response.prepare_payload();
    return {std::move(response), std::nullopt};
}

}  // namespace

Answer healthAnswer(const RouteContext &context)
{
    return plainAnswer(context, http::status::ok, "text/plain; charset=utf-8", "alive\n");
}

Answer readinessAnswer(const RouteContext &context)
{
    const bool draining = context.process.draining();
    return plainAnswer(context, draining ? http::status::service_unavailable : http::status::ok,
                       "text/plain; charset=utf-8", draining ? "draining\n" : "ready\n");
}

Answer metricsAnswer(const RouteContext &context)
{
    if (!context.process.showsMetricsTo(context.peer))
        return plainAnswer(context, http::status::forbidden, "text/plain; charset=utf-8",
                           "本服务的指标只对 --metrics-from 列出的网络开放。\n");
    return plainAnswer(context, http::status::ok, kMetricsContentType,
                       context.process.metricsText());
}

}  // namespace zuno::service
