// SPDX-License-Identifier: Apache-2.0
#include "request_handler.h"

#include "batch_lookup.h"
#include "conditional_request.h"
#include "data_sets.h"
#include "gbk_codec.h"
#include "http_dates.h"
#include "lookup_json.h"
#include "lookup_reply.h"
#include "number_lookup.h"
#include "pages.h"
#include "place_routes.h"
#include "process_endpoints.h"
#include "report_routes.h"
#include "site.h"
#include "static_files.h"
#include "title_decoder.h"
#include "upload_lookup.h"
#include "web_text.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>

namespace zuno::service {
namespace {

constexpr std::string_view kLookupContentType = "text/plain; charset=gb2312";
constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";
constexpr std::string_view kTitleParameter = "title";
// Pages answered anew each time; files revalidated with their ETag; fixed assets kept a day.
constexpr std::string_view kRevalidate = "no-cache";
constexpr std::string_view kKeepADay = "public, max-age=86400";
constexpr std::string_view kNeverStore = "no-store";

boost::beast::string_view beastView(std::string_view text) { return {text.data(), text.size()}; }
std::string_view plainView(boost::beast::string_view text) { return {text.data(), text.size()}; }

StringResponse textResponse(http::status status, const Request &request,
                            std::string_view contentType, std::string_view cacheControl,
                            std::string body)
{
    StringResponse response{status, request.version()};
    response.set(http::field::content_type, beastView(contentType));
    response.set(http::field::cache_control, beastView(cacheControl));
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

// A form or API value: '+' means a space (application/x-www-form-urlencoded), then as a title.
std::u16string formTitle(std::string_view raw)
{
    std::string spaced(raw);
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    return decodeTitle(spaced);
}

Answer windowLookup(const RouteContext &context, const Site &site)
{
    const std::u16string title =
        decodeTitle(queryParameter(context.query, kTitleParameter).value_or(""));
    const LookupOutcome outcome = site.answer(title);
    return {textResponse(http::status::ok, context.request, kLookupContentType, kRevalidate,
                         encodeGbk(buildReply(outcome, title, site.labelOf(outcome)))),
            outcome.verdict};
}

Answer lookupPage(const RouteContext &context, const Site &site)
{
    const std::u16string title =
        formTitle(queryParameter(context.query, kNumberParameter).value_or(""));
    const LookupOutcome outcome = site.answer(title);
    return {textResponse(http::status::ok, context.request, kHtmlContentType, kRevalidate,
                         lookupPageHtml(outcome, title)),
            outcome.verdict};
}

Answer apiLookup(const RouteContext &context, const Site &site)
{
    const auto raw = queryParameter(context.query, kNumberParameter);
    if (!raw)
        return {textResponse(http::status::bad_request, context.request, kJsonContentType,
                             kNeverStore,
                             jsonError("缺少参数 number，例如 /api/v1/lookup?number=13800138000")),
                std::nullopt};
    const std::u16string title = formTitle(*raw);
    const LookupOutcome outcome = site.answer(title);
    return {textResponse(http::status::ok, context.request, kJsonContentType, kRevalidate,
                         lookupJson(outcome, title, site.labelOf(outcome))),
            outcome.verdict};
}

// The built-in data sets and the segment files in force now.
std::vector<DataSet> currentDataSets(const Site &site)
{
    const SegmentStore *segments = site.lookup().segments();
    const std::shared_ptr<const SegmentTable> table = segments ? segments->current() : nullptr;
    return dataSets(table.get());
}

Answer apiAbout(const RouteContext &context, const Site &site)
{
    return {textResponse(http::status::ok, context.request, kJsonContentType, kRevalidate,
                         aboutJson(currentDataSets(site))),
            std::nullopt};
}

std::unique_ptr<BodyStream> apiBatch(const RouteContext &context, const Site &site)
{
    const auto options = batchOptions(context.query, site.batchMaxRows());
    if (!options)
        return std::make_unique<RefusedStream>(
            textResponse(http::status::bad_request, context.request, kJsonContentType, kNeverStore,
                         jsonError("format 只能是 csv 或 jsonl，bom 只能是 0 或 1")));
    BatchOptions withSite = *options;
    withSite.site = &site;
    return std::make_unique<BatchLookup>(site.lookup(), withSite);
}

std::unique_ptr<BodyStream> upload(const RouteContext &context, const Site &site)
{
    return std::make_unique<UploadLookup>(
        site, plainView(context.request[http::field::content_type]), std::time(nullptr));
}

// Every record may be as long as the batch takes one; a body longer than that cannot be a
// batch within the limit.
size_t batchBodyLimit(const Site &site)
{
    const size_t rows = site.batchMaxRows() + 1;
    return rows > SIZE_MAX / BatchInput::kMaxRecordBytes ? SIZE_MAX
                                                         : rows * BatchInput::kMaxRecordBytes;
}

Answer homePage(const RouteContext &context, const Site &site)
{
    const auto listing = site.downloads().listing();
    const HomePage page{*listing, site.exampleQuery(), site.exampleJson(), currentDataSets(site)};
    return {textResponse(http::status::ok, context.request, kHtmlContentType, kRevalidate,
                         homePageHtml(page)),
            std::nullopt};
}

// What a file is sent as: its validators, type and caching, and for downloads the name to save.
struct Served {
    Representation representation;
    std::string_view contentType;
    std::string_view cacheControl;
    std::string attachmentName;
};

template<class Body> void describe(http::response<Body> &response, const Served &served)
{
    response.set(http::field::etag, served.representation.etag);
    response.set(http::field::last_modified, formatHttpDate(served.representation.lastModified));
    response.set(http::field::cache_control, beastView(served.cacheControl));
}

// 304 or 416 when the request's headers call for them; otherwise body(selection) answers with
// the whole file (200) or the one range asked for (206).
template<class MakeBody>
Response serveFile(const Request &request, const Served &served, MakeBody body)
{
    const Preconditions preconditions{plainView(request[http::field::if_none_match]),
                                      plainView(request[http::field::if_modified_since]),
                                      plainView(request[http::field::range]),
                                      plainView(request[http::field::if_range]),
                                      plainView(request[http::field::if_match]),
                                      plainView(request[http::field::if_unmodified_since])};
    const std::uint64_t size = served.representation.size;
    const Selection selection =
        selectRepresentation(preconditions, served.representation, std::time(nullptr));
    if (selection.kind == Selection::Kind::NotModified) {
        StringResponse response{http::status::not_modified, request.version()};
        describe(response, served);
        return response;
    }
    if (selection.kind == Selection::Kind::PreconditionFailed)
        return errorResponse(http::status::precondition_failed, request.version(), Audience::Page);
    if (selection.kind == Selection::Kind::Unsatisfiable) {
        StringResponse response =
            errorResponse(http::status::range_not_satisfiable, request.version(), Audience::Page);
        response.set(http::field::content_range, "bytes */" + std::to_string(size));
        return response;
    }
    const bool partial = selection.kind == Selection::Kind::Partial;
    auto response = body(partial ? http::status::partial_content : http::status::ok, selection);
    std::visit(
        [&](auto &message) {
            describe(message, served);
            message.set(http::field::content_type, beastView(served.contentType));
            message.set(http::field::accept_ranges, "bytes");
            if (!served.attachmentName.empty())
                message.set(http::field::content_disposition,
                            "attachment; filename*=UTF-8''" + percentEncode(served.attachmentName));
            if (partial)
                message.set(http::field::content_range,
                            "bytes " + std::to_string(selection.offset) + "-" +
                                std::to_string(selection.offset + selection.length - 1) + "/" +
                                std::to_string(size));
            message.prepare_payload();
        },
        response);
    return response;
}

Answer download(const RouteContext &context, const Site &site)
{
    const Request &request = context.request;
    const std::string_view name = context.path.substr(kDownloadPrefix.size());
    std::optional<OpenedFile> opened;
    try {
        opened = site.downloads().open(name);
    } catch (const std::system_error &) {
        // Out of descriptors for now: nothing wrong with the file, so ask again shortly.
        auto busy =
            errorResponse(http::status::service_unavailable, request.version(), Audience::Page);
        busy.set(http::field::retry_after, "1");
        return {std::move(busy), std::nullopt};
    }
    if (!opened)
        return {errorResponse(http::status::not_found, request.version(), Audience::Page),
                std::nullopt};
    const struct stat &status = opened->status;
    char etag[64];
    // Changes whenever the file is replaced (inode) or rewritten (size, time to the nanosecond).
    std::snprintf(etag, sizeof etag, "\"%jx-%jx-%jx.%lx\"",
                  static_cast<std::uintmax_t>(status.st_ino),
                  static_cast<std::uintmax_t>(status.st_size),
                  static_cast<std::uintmax_t>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec);
    const Served served{{etag, status.st_mtim.tv_sec, static_cast<std::uint64_t>(status.st_size)},
                        name.ends_with(".deb") ? "application/vnd.debian.binary-package"
                                               : "application/octet-stream",
                        kRevalidate,
                        std::string(name)};
    return {serveFile(
                request, served,
                [&](http::status code, const Selection &selection) {
                    FileResponse response{code, request.version()};
                    response.body() = {std::move(opened->file), selection.offset, selection.length};
                    return Response(std::move(response));
                }),
            std::nullopt};
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

}  // namespace

StringResponse errorResponse(http::status status, unsigned version, Audience audience)
{
    StringResponse response{status, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    const std::string line =
        std::to_string(static_cast<unsigned>(status)) + " " + std::string(errorTitle(status));
    switch (audience) {
    case Audience::Window:
        response.set(http::field::content_type, beastView(kLookupContentType));
        response.body() = encodeGbk(decodeUtf8(line).value_or(u"")) + "\r\n";
        break;
    case Audience::Api:
    case Audience::ApiWrite:
        response.set(http::field::content_type, beastView(kJsonContentType));
        response.body() = jsonError(line);
        break;
    case Audience::Page:
    case Audience::Process:
        response.set(http::field::content_type, beastView(kHtmlContentType));
        response.body() = errorPageHtml(status);
        break;
    }
    response.prepare_payload();
    return response;
}

std::string sizeText(size_t bytes)
{
    constexpr std::array<std::string_view, 4> kUnits{" 字节", " KiB", " MiB", " GiB"};
    size_t unit = 0;
    double size = static_cast<double>(bytes);
    while (size >= 1024 && unit + 1 < kUnits.size()) {
        size /= 1024;
        ++unit;
    }
    char text[32];
    // Whole units as they are; otherwise one decimal, rounded down so as never to promise more.
    if (size == static_cast<double>(static_cast<size_t>(size)))
        std::snprintf(text, sizeof text, "%zu", static_cast<size_t>(size));
    else
        std::snprintf(text, sizeof text, "%.1f",
                      static_cast<double>(static_cast<size_t>(size * 10)) / 10);
    return text + std::string(kUnits[unit]);
}

StringResponse bodyTooLargeResponse(size_t bodyLimit, unsigned version, Audience audience)
{
    if (bodyLimit == 0 ||
        (audience != Audience::Page && audience != Audience::Api && audience != Audience::ApiWrite))
        return errorResponse(http::status::payload_too_large, version, audience);
    StringResponse response{http::status::payload_too_large, version};
    response.set(http::field::cache_control, beastView(kNeverStore));
    if (audience == Audience::Page) {
        response.set(http::field::content_type, beastView(kHtmlContentType));
        response.body() = refusalPageHtml(
            http::status::payload_too_large,
            "提交的表单内容超过了本站接受的 " + sizeText(bodyLimit) + "，请删减后再提交。", "/");
    } else {
        response.set(http::field::content_type, beastView(kJsonContentType));
        response.body() =
            jsonError("413 " + std::string(errorTitle(http::status::payload_too_large)) +
                      "：请求内容超过了本站接受的 " + sizeText(bodyLimit) + "。");
    }
    response.prepare_payload();
    return response;
}

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
            {std::string(file.path), Match::Exact, kGetAndHead, "static", Audience::Page, 0,
             [&file](const RouteContext &context) { return staticFile(context, file); }, nullptr});
    return routes;
}

}  // namespace zuno::service
