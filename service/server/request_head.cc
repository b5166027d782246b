#include "request_head.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>

namespace zuno::service {
namespace {

namespace http = boost::beast::http;

constexpr unsigned kHttp11 = 11;

std::string_view trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
        boost::beast::iequals(boost::beast::string_view(text.data(), prefix.size()),
                              boost::beast::string_view(prefix.data(), prefix.size()));
}

}  // namespace

Framing requestFraming(const http::request_header<> &head)
{
    const auto codings = head.equal_range(http::field::transfer_encoding);
    if (codings.first == codings.second)
        return Framing::Plain;
    if (head.version() < kHttp11 || head.find(http::field::content_length) != head.end())
        return Framing::Invalid;
    // Every coding of every Transfer-Encoding field, in order: only "chunked" alone is framed.
    size_t count = 0;
    bool chunked = false;
    for (auto field = codings.first; field != codings.second; ++field) {
        std::string_view list(field->value().data(), field->value().size());
        while (true) {
            const size_t comma = list.find(',');
            const std::string_view coding = trimmed(list.substr(0, comma));
            if (!coding.empty()) {
                ++count;
                chunked = boost::beast::iequals(
                    boost::beast::string_view(coding.data(), coding.size()), "chunked");
            }
            if (comma == std::string_view::npos)
                break;
            list.remove_prefix(comma + 1);
        }
    }
    return count == 1 && chunked ? Framing::Chunked : Framing::Invalid;
}

bool hasValidHost(const http::request_header<> &head)
{
    const size_t hosts = head.count(http::field::host);
    return head.version() < kHttp11 ? hosts <= 1 : hosts == 1;
}

std::optional<std::string> originForm(std::string_view target)
{
    size_t schemeLength = 0;
    if (startsWithNoCase(target, "http://"))
        schemeLength = 7;
    else if (startsWithNoCase(target, "https://"))
        schemeLength = 8;
    else
        return std::nullopt;
    const size_t pathStart = target.find_first_of("/?#", schemeLength);
    if (pathStart == schemeLength)
        return std::nullopt;  // no authority
    if (pathStart == std::string_view::npos)
        return std::string("/");
    const std::string_view rest = target.substr(pathStart);
    return rest.front() == '/' ? std::string(rest) : "/" + std::string(rest);
}

}  // namespace zuno::service
