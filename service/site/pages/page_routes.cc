// SPDX-License-Identifier: Apache-2.0
#include "site/pages/page_routes.h"

#include "http/responses.h"
#include "site/downloads/served_file.h"
#include "site/pages/pages.h"
#include "site/site.h"

namespace zuno::service {

Answer homePage(const RouteContext &context, const Site &site)
{
    const auto listing = site.downloads().listing();
    const HomePage page{*listing, site.exampleQuery(), site.exampleJson(), site.dataSets(),
                        isWindowsUserAgent(plainView(context.request[http::field::user_agent]))};
    StringResponse response = textResponse(http::status::ok, context.request, kHtmlContentType,
                                           kRevalidate, homePageHtml(page));
    // The downloads come in another order for a browser on Windows.
    response.set(http::field::vary, "User-Agent");
    return {std::move(response), std::nullopt};
}

Answer staticFile(const RouteContext &context, const StaticFile &file)
{
    const Request &request = context.request;
    const Served served{{std::string(file.etag), file.modified, file.bytes.size()},
                        file.contentType,
                        kKeepADay,
                        {}};
    return {serveFile(request, served,
                      [&](http::status code, const Selection &selection) {
                          StringResponse response{code, request.version()};
                          response.body() =
                              std::string(file.bytes.substr(selection.offset, selection.length));
                          return Response(std::move(response));
                      }),
            std::nullopt};
}

}  // namespace zuno::service
