#include "request_handler.h"

#include "conditional_request.h"
#include "gbk_codec.h"
#include "http_dates.h"
#include "lookup_json.h"
#include "lookup_reply.h"
#include "pages.h"
#include "site.h"
#include "static_files.h"
#include "title_decoder.h"
#include "web_text.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>

namespace zuno::service {
namespace {

constexpr std::string_view kLookupContentType = "text/plain; charset=gb2312";
constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";
constexpr std::string_view kApiPrefix = "/api/";
constexpr std::string_view kTitleParameter = "title";
// Nothing from another host, no script at all, forms only to this site, never in a frame.
constexpr std::string_view kContentSecurityPolicy =
    "default-src 'self'; script-src 'none'; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";
// Pages answered anew each time; files revalidated with their ETag; fixed assets kept a day.
constexpr std::string_view kRevalidate = "no-cache";
constexpr std::string_view kKeepADay = "public, max-age=86400";
constexpr std::string_view kNeverStore = "no-store";

boost::beast::string_view beastView(std::string_view text) { return {text.data(), text.size()}; }
std::string_view plainView(boost::beast::string_view text) { return {text.data(), text.size()}; }

enum class Audience { Page, Window, Api };

Audience audienceOf(std::string_view target)
{
    const std::string_view path = target.substr(0, target.find('?'));
    if (boost::beast::iequals(percentDecode(path), beastView(kLookupPath)))
        return Audience::Window;
    return path.starts_with(kApiPrefix) ? Audience::Api : Audience::Page;
}

// The header fields every response shares.
template<class Body>
http::response<Body> startResponse(http::status status, unsigned version, bool keepAlive)
{
    http::response<Body> response{status, version};
    response.set(http::field::server, beastView(kServerName));
    response.set(http::field::date, formatHttpDate(std::time(nullptr)));
    response.set("X-Content-Type-Options", "nosniff");
    response.keep_alive(keepAlive);
    return response;
}

StringResponse textResponse(http::status status, const Request &request,
                            std::string_view contentType, std::string_view cacheControl,
                            std::string body)
{
    auto response =
        startResponse<http::string_body>(status, request.version(), request.keep_alive());
    response.set(http::field::content_type, beastView(contentType));
    response.set(http::field::cache_control, beastView(cacheControl));
    if (contentType == kHtmlContentType) {
        response.set("Content-Security-Policy", beastView(kContentSecurityPolicy));
        response.set("Referrer-Policy", "no-referrer");
    }
    if (audienceOf(plainView(request.target())) == Audience::Api)
        response.set(http::field::access_control_allow_origin, "*");
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

Response windowLookup(const Request &request, std::string_view query, const Site &site)
{
    const std::string_view title = queryParameter(query, kTitleParameter).value_or("");
    return textResponse(http::status::ok, request, kLookupContentType, kRevalidate,
                        lookupReplyBody(site.lookup(), title));
}

Response lookupPage(const Request &request, std::string_view query, const Site &site)
{
    const std::u16string title = formTitle(queryParameter(query, kNumberParameter).value_or(""));
    return textResponse(http::status::ok, request, kHtmlContentType, kRevalidate,
                        lookupPageHtml(site.lookup().lookup(title), title));
}

Response apiLookup(const Request &request, std::string_view query, const Site &site)
{
    const auto raw = queryParameter(query, kNumberParameter);
    if (!raw)
        return textResponse(http::status::bad_request, request, kJsonContentType, kNeverStore,
                            jsonError("缺少参数 number，例如 /api/v1/lookup?number=13800138000"));
    const std::u16string title = formTitle(*raw);
    return textResponse(http::status::ok, request, kJsonContentType, kRevalidate,
                        lookupJson(site.lookup().lookup(title), title));
}

Response homePage(const Request &request, const Site &site)
{
    const auto listing = site.downloads().listing();
    const HomePage page{*listing, site.exampleQuery(), site.exampleJson()};
    return textResponse(http::status::ok, request, kHtmlContentType, kRevalidate,
                        homePageHtml(page));
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
        auto response = startResponse<http::string_body>(http::status::not_modified,
                                                         request.version(), request.keep_alive());
        describe(response, served);
        return response;
    }
    if (selection.kind == Selection::Kind::PreconditionFailed)
        return errorResponse(http::status::precondition_failed, request.version(),
                             request.keep_alive());
    if (selection.kind == Selection::Kind::Unsatisfiable) {
        StringResponse response = errorResponse(http::status::range_not_satisfiable,
                                                request.version(), request.keep_alive());
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

Response download(const Request &request, std::string_view escapedName, const Site &site)
{
    const std::string name = percentDecode(escapedName);
    std::optional<OpenedFile> opened;
    try {
        opened = site.downloads().open(name);
    } catch (const std::system_error &) {
        // Out of descriptors for now: nothing wrong with the file, so ask again shortly.
        auto busy = errorResponse(http::status::service_unavailable, request.version(), false);
        busy.set(http::field::retry_after, "1");
        return busy;
    }
    if (!opened)
        return errorResponse(http::status::not_found, request.version(), request.keep_alive());
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
                        name};
    return serveFile(request, served, [&](http::status code, const Selection &selection) {
        auto response = startResponse<FileRangeBody>(code, request.version(), request.keep_alive());
        response.body() = {std::move(opened->file), selection.offset, selection.length};
        return Response(std::move(response));
    });
}

Response staticFile(const Request &request, const StaticFile &file)
{
    const Served served{{std::string(file.etag), file.modified, file.bytes.size()},
                        file.contentType,
                        kKeepADay,
                        {}};
    return serveFile(request, served, [&](http::status code, const Selection &selection) {
        auto response =
            startResponse<http::string_body>(code, request.version(), request.keep_alive());
        response.body() = std::string(file.bytes.substr(selection.offset, selection.length));
        return Response(std::move(response));
    });
}

// The answer to HEAD: the same header, Content-Length included, and no body.
StringResponse withoutBody(Response response)
{
    if (auto *text = std::get_if<StringResponse>(&response)) {
        text->body().clear();
        return std::move(*text);
    }
    const auto &file = std::get<FileResponse>(response);
    StringResponse head{file.result(), file.version()};
    for (const auto &field : file.base())
        head.set(field.name_string(), field.value());
    head.keep_alive(file.keep_alive());
    return head;
}

Response route(const Request &request, const Site &site)
{
    const bool keepAlive = request.keep_alive();
    const std::string_view target = plainView(request.target());
    if (request.method() != http::verb::get && request.method() != http::verb::head)
        return errorResponse(http::status::method_not_allowed, request.version(), keepAlive,
                             target);
    if (target.empty() || target.front() != '/')
        return errorResponse(http::status::bad_request, request.version(), keepAlive);

    const size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

    if (path == "/")
        return homePage(request, site);
    // Matched without regard to case: clients written for an IIS host may spell it either way.
    if (audienceOf(path) == Audience::Window)
        return windowLookup(request, query, site);
    if (path == kLookupPagePath)
        return lookupPage(request, query, site);
    if (path == kApiLookupPath)
        return apiLookup(request, query, site);
    if (path.starts_with(kDownloadPrefix))
        return download(request, path.substr(kDownloadPrefix.size()), site);
    if (const StaticFile *file = findStaticFile(path))
        return staticFile(request, *file);
    return errorResponse(http::status::not_found, request.version(), keepAlive, target);
}

}  // namespace

StringResponse errorResponse(http::status status, unsigned version, bool keepAlive,
                             std::string_view target)
{
    auto response = startResponse<http::string_body>(status, version, keepAlive);
    response.set(http::field::cache_control, beastView(kNeverStore));
    if (status == http::status::method_not_allowed)
        response.set(http::field::allow, "GET, HEAD");
    const std::string line =
        std::to_string(static_cast<unsigned>(status)) + " " + std::string(errorTitle(status));
    switch (audienceOf(target)) {
    case Audience::Window:
        response.set(http::field::content_type, beastView(kLookupContentType));
        response.body() = encodeGbk(decodeUtf8(line).value_or(u"")) + "\r\n";
        break;
    case Audience::Api:
        response.set(http::field::content_type, beastView(kJsonContentType));
        response.set(http::field::access_control_allow_origin, "*");
        response.body() = jsonError(line);
        break;
    case Audience::Page:
        response.set(http::field::content_type, beastView(kHtmlContentType));
        response.set("Content-Security-Policy", beastView(kContentSecurityPolicy));
        response.set("Referrer-Policy", "no-referrer");
        response.body() = errorPageHtml(status);
        break;
    }
    response.prepare_payload();
    return response;
}

Response handleRequest(const Request &request, const Site &site)
{
    Response response = route(request, site);
    if (request.method() == http::verb::head)
        return withoutBody(std::move(response));
    return response;
}

}  // namespace zuno::service
