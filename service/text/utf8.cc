// SPDX-License-Identifier: Apache-2.0
#include "text/utf8.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace zuno::service {

namespace {

int32_t checkedLength(size_t size)
{
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 3))
        throw std::length_error("text too long for ICU");
    return static_cast<int32_t>(size);
}

// UTF-8 never yields more UTF-16 units than it has bytes.
std::u16string utf16From(std::string_view bytes, UChar32 substitute, UErrorCode &status)
{
    // Most of what is decoded is ASCII (numbers as typed), which needs no converter.
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; }))
        return std::u16string(bytes.begin(), bytes.end());
    std::u16string out(bytes.size(), u'\0');
    int32_t written = 0;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, bytes.data(),
                         checkedLength(bytes.size()), substitute, nullptr, &status);
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(written) : 0);
    return out;
}

}  // namespace

std::string toUtf8(std::u16string_view text)
{
    if (text.empty())
        return {};
    // Units outside the surrogates are written here; a pair, or a lone one, is left to ICU.
    std::string direct;
    direct.reserve(text.size() * 3);
    for (const char16_t unit : text) {
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            direct.clear();
            break;
        }
        if (unit < 0x80) {
            direct += static_cast<char>(unit);
        } else if (unit < 0x800) {
            direct += static_cast<char>(0xC0 | unit >> 6);
            direct += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            direct += static_cast<char>(0xE0 | unit >> 12);
            direct += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            direct += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    if (!direct.empty())
        return direct;
    // At most three bytes for each UTF-16 unit; a pair makes four bytes of two units.
    std::string out(static_cast<size_t>(checkedLength(text.size())) * 3, '\0');
    int32_t written = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("u_strToUTF8WithSub: ") + u_errorName(status));
    out.resize(static_cast<size_t>(written));
    return out;
}

std::optional<std::u16string> decodeUtf8(std::string_view bytes)
{
    UErrorCode status = U_ZERO_ERROR;
    // A negative substitute makes ICU stop at the first ill-formed sequence.
    std::u16string out = utf16From(bytes, -1, status);
    if (status == U_INVALID_CHAR_FOUND || status == U_ILLEGAL_CHAR_FOUND)
        return std::nullopt;
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("u_strFromUTF8WithSub: ") + u_errorName(status));
    return out;
}

std::u16string fromUtf8(std::string_view bytes)
{
    UErrorCode status = U_ZERO_ERROR;
    std::u16string out = utf16From(bytes, 0xFFFD, status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("u_strFromUTF8WithSub: ") + u_errorName(status));
    return out;
}

}  // namespace zuno::service
