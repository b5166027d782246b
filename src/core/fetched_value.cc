// SPDX-License-Identifier: Apache-2.0
#include "fetched_value.h"

#include <utility>

namespace zuno {

FetchedValue FetchedValue::fromText(std::u16string text)
{
    FetchedValue value;
    value.value_ = std::move(text);
    return value;
}

FetchedValue FetchedValue::fromBytes(std::string bytes)
{
    FetchedValue value;
    value.value_ = std::move(bytes);
    return value;
}

std::u16string FetchedValue::toText() const
{
    if (const auto *text = std::get_if<std::u16string>(&value_))
        return *text;
    if (const auto *bytes = std::get_if<std::string>(&value_))
        return utf8ToUtf16(*bytes);
    return {};
}

std::size_t FetchedValue::length() const
{
    if (const auto *text = std::get_if<std::u16string>(&value_))
        return text->size();
    return toText().size();
}

std::string FetchedValue::bytes() const
{
    if (const auto *bytes = std::get_if<std::string>(&value_))
        return *bytes;
    return {};
}

std::u16string utf8ToUtf16(std::string_view bytes)
{
    constexpr char16_t kReplacement = 0xFFFD;
    std::u16string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(lead);
            ++i;
            continue;
        }
        int length = 0;
        char32_t point = 0;
        unsigned char low = 0x80, high = 0xBF;  // bounds of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, point = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, point = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            text.push_back(kReplacement);
            ++i;
            continue;
        }
        std::size_t next = i + 1;
        bool complete = true;
        for (int n = 1; n < length; ++n, ++next) {
            const auto byte = next < bytes.size() ? static_cast<unsigned char>(bytes[next]) : 0;
            const unsigned char min = n == 1 ? low : 0x80, max = n == 1 ? high : 0xBF;
            if (next >= bytes.size() || byte < min || byte > max) {
                complete = false;
                break;
            }
            point = (point << 6) | (byte & 0x3F);
        }
        i = next;
        if (!complete) {
            text.push_back(kReplacement);
        } else if (point >= 0x10000) {
            point -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(point));
        }
    }
    return text;
}

std::string utf16ToUtf8(std::u16string_view text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t point = text[i];
        if (point >= 0xD800 && point <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        if (point < 0x80) {
            bytes.push_back(static_cast<char>(point));
        } else if (point < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (point >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else if (point < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (point >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (point >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        }
    }
    return bytes;
}

}  // namespace zuno
