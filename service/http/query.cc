// SPDX-License-Identifier: Apache-2.0
#include "http/query.h"

#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <utility>

namespace zuno::service {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A title's bytes: UTF-8 when they are well-formed UTF-8, GBK otherwise.
std::u16string titleText(const std::string &bytes)
{
    if (auto text = decodeUtf8(bytes))
        return std::move(*text);
    return decodeGbk(bytes);
}

}  // namespace

std::string percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::u16string decodeTitle(std::string_view rawValue) { return titleText(percentDecode(rawValue)); }

std::string formDecode(std::string_view text)
{
    std::string spaced(text);
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    return percentDecode(spaced);
}

std::string percentEncode(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

std::optional<std::string_view> queryParameter(std::string_view query, std::string_view name)
{
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const size_t equals = pair.find('=');
        if (boost::beast::iequals(percentDecode(pair.substr(0, equals)),
                                  boost::beast::string_view(name.data(), name.size())))
            return equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::u16string decodeFormTitle(std::string_view rawValue) { return titleText(formDecode(rawValue)); }

std::string_view withoutBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace zuno::service
