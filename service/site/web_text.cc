// SPDX-License-Identifier: Apache-2.0
#include "web_text.h"

#include "title_decoder.h"

#include <boost/beast/core/string.hpp>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <limits>
#include <stdexcept>

namespace zuno::service {

std::string toUtf8(std::u16string_view text)
{
    if (text.empty())
        return {};
    if (text.size() > std::numeric_limits<int32_t>::max() / 3)
        throw std::length_error("toUtf8: text too long for ICU");
    // At most three bytes for each UTF-16 unit; a pair makes four bytes of two units.
    std::string out(text.size() * 3, '\0');
    int32_t written = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("u_strToUTF8WithSub: ") + u_errorName(status));
    out.resize(static_cast<size_t>(written));
    return out;
}

std::string escapeHtml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
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

std::string_view withoutBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace zuno::service
