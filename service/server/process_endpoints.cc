#include "process_endpoints.h"

#include <boost/beast/http/field.hpp>

namespace zuno::service {

std::optional<StringResponse> processResponse(const Request &request, Route route, bool draining,
                                              const std::function<std::string()> &metricsText)
{
    if (route != Route::Healthz && route != Route::Readyz && route != Route::Metrics)
        return std::nullopt;
    if (request.method() != http::verb::get && request.method() != http::verb::head)
        return std::nullopt;

    const bool unready = route == Route::Readyz && draining;
    StringResponse response{unready ? http::status::service_unavailable : http::status::ok,
                            request.version()};
    response.set(http::field::server,
                 boost::beast::string_view(kServerName.data(), kServerName.size()));
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    if (route == Route::Metrics) {
        response.set(
            http::field::content_type,
            boost::beast::string_view(kMetricsContentType.data(), kMetricsContentType.size()));
        response.body() = metricsText();
    } else {
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = route == Route::Healthz ? "alive\n" : unready ? "draining\n" : "ready\n";
    }
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    if (request.method() == http::verb::head)
        response.body().clear();
    return response;
}

}  // namespace zuno::service
