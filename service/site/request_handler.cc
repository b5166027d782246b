#include "request_handler.h"

#include "lookup_reply.h"
#include "pages.h"
#include "site.h"
#include "title_decoder.h"

#include <boost/beast/core/file_base.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>

#include <string>

namespace zuno::service {
namespace {

constexpr std::string_view kLookupContentType = "text/plain; charset=gb2312";
constexpr std::string_view kHtmlContentType = "text/html; charset=utf-8";
constexpr std::string_view kTitleParameter = "title";

boost::beast::string_view beastView(std::string_view text) { return {text.data(), text.size()}; }

// The raw (still escaped) value of the first title=... in a query; empty when there is none.
std::string_view titleParameter(std::string_view query)
{
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const size_t equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        if (boost::beast::iequals(percentDecode(name), beastView(kTitleParameter)))
            return equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return {};
}

// The header fields every response shares: status, version, Server and keep-alive.
template<class Body>
http::response<Body> startResponse(http::status status, unsigned version, bool keepAlive)
{
    http::response<Body> response{status, version};
    response.set(http::field::server, beastView(kServerName));
    response.keep_alive(keepAlive);
    return response;
}

StringResponse textResponse(const Request &request, std::string_view contentType, std::string body)
{
    auto response =
        startResponse<http::string_body>(http::status::ok, request.version(), request.keep_alive());
    response.set(http::field::content_type, beastView(contentType));
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

Response lookupResponse(const Request &request, std::string_view query, const Site &site)
{
    StringResponse response = textResponse(request, kLookupContentType,
                                           lookupReplyBody(site.lookup(), titleParameter(query)));
    response.set(http::field::cache_control, "no-cache");
    return response;
}

Response downloadResponse(const Request &request, std::string_view escapedName, const Site &site)
{
    const auto path = site.downloads().find(percentDecode(escapedName));
    if (!path)
        return errorResponse(http::status::not_found, request.version(), request.keep_alive());

    auto response =
        startResponse<http::file_body>(http::status::ok, request.version(), request.keep_alive());
    boost::beast::error_code error;
    response.body().open(path->c_str(), boost::beast::file_mode::scan, error);
    if (error)
        return errorResponse(http::status::not_found, request.version(), request.keep_alive());
    response.set(http::field::content_type, "application/octet-stream");
    response.set(http::field::content_disposition,
                 "attachment; filename*=UTF-8''" + percentEncode(path->filename().string()));
    response.prepare_payload();
    return response;
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

}  // namespace

StringResponse errorResponse(http::status status, unsigned version, bool keepAlive)
{
    auto response = startResponse<http::string_body>(status, version, keepAlive);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    if (status == http::status::method_not_allowed)
        response.set(http::field::allow, "GET, HEAD");
    response.body() = std::to_string(static_cast<unsigned>(status)) + " " +
        std::string(http::obsolete_reason(status)) + "\r\n";
    response.prepare_payload();
    return response;
}

namespace {

Response route(const Request &request, const Site &site)
{
    const bool keepAlive = request.keep_alive();
    if (request.method() != http::verb::get && request.method() != http::verb::head)
        return errorResponse(http::status::method_not_allowed, request.version(), keepAlive);

    const std::string_view target(request.target().data(), request.target().size());
    if (target.empty() || target.front() != '/')
        return errorResponse(http::status::bad_request, request.version(), keepAlive);

    const size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

    if (path == "/")
        return textResponse(request, kHtmlContentType, homePageHtml(site.downloads().list()));
    // Matched without regard to case: clients written for an IIS host may spell it either way.
    if (boost::beast::iequals(percentDecode(path), beastView(kLookupPath)))
        return lookupResponse(request, query, site);
    if (path.starts_with(kDownloadPrefix))
        return downloadResponse(request, path.substr(kDownloadPrefix.size()), site);
    return errorResponse(http::status::not_found, request.version(), keepAlive);
}

}  // namespace

Response handleRequest(const Request &request, const Site &site)
{
    Response response = route(request, site);
    if (request.method() == http::verb::head)
        return withoutBody(std::move(response));
    return response;
}

}  // namespace zuno::service
