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

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The raw (still escaped) value of the first title=... in a query; empty when there is none.
std::string_view titleParameter(std::string_view query)
{
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const size_t equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        if (equalsIgnoringCase(percentDecode(name), kTitleParameter))
            return equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return {};
}

StringResponse textResponse(const Request &request, std::string_view contentType, std::string body)
{
    StringResponse response{http::status::ok, request.version()};
    response.set(http::field::server, beastView(kServerName));
    response.set(http::field::content_type, beastView(contentType));
    response.keep_alive(request.keep_alive());
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

    FileResponse response{http::status::ok, request.version()};
    boost::beast::error_code error;
    response.body().open(path->c_str(), boost::beast::file_mode::scan, error);
    if (error)
        return errorResponse(http::status::not_found, request.version(), request.keep_alive());
    response.set(http::field::server, beastView(kServerName));
    response.set(http::field::content_type, "application/octet-stream");
    response.set(http::field::content_disposition,
                 "attachment; filename*=UTF-8''" + percentEncode(path->filename().string()));
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    if (request.method() != http::verb::head)
        return response;

    StringResponse head{http::status::ok, request.version()};
    for (const auto &field : response.base())
        head.set(field.name_string(), field.value());
    head.keep_alive(request.keep_alive());
    return head;
}

}  // namespace

StringResponse errorResponse(http::status status, unsigned version, bool keepAlive)
{
    StringResponse response{status, version};
    response.set(http::field::server, beastView(kServerName));
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    if (status == http::status::method_not_allowed)
        response.set(http::field::allow, "GET, HEAD");
    response.keep_alive(keepAlive);
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
    if (equalsIgnoringCase(percentDecode(path), kLookupPath))
        return lookupResponse(request, query, site);
    if (path.starts_with(kDownloadPrefix))
        return downloadResponse(request, path.substr(kDownloadPrefix.size()), site);
    return errorResponse(http::status::not_found, request.version(), keepAlive);
}

}  // namespace

Response handleRequest(const Request &request, const Site &site)
{
    Response response = route(request, site);
    // HEAD: the same header, Content-Length included, and no body.
    if (auto *text = std::get_if<StringResponse>(&response);
        text && request.method() == http::verb::head)
        text->body().clear();
    return response;
}

}  // namespace zuno::service
