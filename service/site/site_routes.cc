// SPDX-License-Identifier: Apache-2.0
#include "site/site_routes.h"

#include "http/process_endpoints.h"
#include "site/batch/batch_routes.h"
#include "site/community/place_routes.h"
#include "site/community/report_routes.h"
#include "site/downloads/download_routes.h"
#include "site/lookup/lookup_routes.h"
#include "site/pages/page_routes.h"
#include "site/pages/pages.h"
#include "site/site.h"

#include <string>

namespace zuno::service {

RouteTable siteRoutes(const Site &site)
{
    const auto bound = [&site](Answer (*handler)(const RouteContext &, const Site &)) {
        return [handler, &site](const RouteContext &context) { return handler(context, site); };
    };
    using Match = Route::Match;
    // The window's lookup first, as it is most of the traffic; matched without regard to case,
    // as clients written for an IIS host may spell it either way.
    RouteTable routes{
        {std::string(kLookupPath), Match::IgnoringCase, kGetAndHead, "lookup", Audience::Window, 0,
         bound(windowLookup), nullptr},
        {"/", Match::Exact, kGetAndHead, "home", Audience::Page, 0, bound(homePage), nullptr},
        // With labels, the result page waits for the store's counts and comments.
        site.labels().store ? Route{std::string(kLookupPagePath), Match::Exact, kGetAndHead,
                                    "lookup_page", Audience::Page, 0, nullptr,
                                    [&site](const RouteContext &context, LaterAnswer answer) {
                                        lookupPageWithLabels(context, std::move(answer), site);
                                    }}
                            : Route{std::string(kLookupPagePath), Match::Exact, kGetAndHead,
                                    "lookup_page", Audience::Page, 0, bound(lookupPage), nullptr},
        {std::string(kApiLookupPath), Match::Exact, kGetAndHead, "api_lookup", Audience::Api, 0,
         bound(apiLookup), nullptr},
        {"/api/v1/about", Match::Exact, kGetAndHead, "api_about", Audience::Api, 0, bound(apiAbout),
         nullptr},
        {std::string(kApiBatchPath), Match::Exact, kPost, "api_batch", Audience::Api,
         batchBodyLimit(site), nullptr, nullptr,
         [&site](const RouteContext &context) { return apiBatch(context, site); }},
        {std::string(kUploadPath), Match::Exact, kPost, "upload", Audience::Page,
         batchBodyLimit(site), nullptr, nullptr,
         [&site](const RouteContext &context) { return upload(context, site); }},
        {std::string(kDownloadPrefix), Match::Prefix, kGetAndHead, "download", Audience::Page, 0,
         bound(download), nullptr},
        {"/healthz", Match::Exact, kGetAndHead, "healthz", Audience::Process, 0, healthAnswer,
         nullptr},
        {"/readyz", Match::Exact, kGetAndHead, "readyz", Audience::Process, 0, readinessAnswer,
         nullptr},
        {"/metrics", Match::Exact, kGetAndHead, "metrics", Audience::Process, 0, metricsAnswer,
         nullptr},
    };
    for (Route &route : reportRoutes(site))
        routes.push_back(std::move(route));
    for (Route &route : placeRoutes(site))
        routes.push_back(std::move(route));
    for (const StaticFile &file : staticFiles())
        routes.push_back(
            {std::string(file.path), Match::Exact, kGetAndHead, "static",
             Router::audienceOf(file.path), 0,
             [&file](const RouteContext &context) { return staticFile(context, file); }, nullptr});
    return routes;
}

}  // namespace zuno::service