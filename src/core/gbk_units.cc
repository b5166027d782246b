// SPDX-License-Identifier: Apache-2.0
#include "gbk_units.h"

#include <array>

namespace zuno {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kEuroSign = 0x20AC;

bool isLead(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }
bool isTrail(unsigned char byte)
{
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFE);
}

}  // namespace

bool isGbkLabel(std::u16string_view label)
{
    static constexpr std::array<std::u16string_view, 9> kLabels = {
        u"chinese",    u"csgb2312", u"csiso58gb231280", u"gb2312", u"gb_2312",
        u"gb_2312-80", u"gbk",      u"iso-ir-58",       u"x-gbk",
    };
    const auto isBlank = [](char16_t c) {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
    };
    while (!label.empty() && isBlank(label.front()))
        label.remove_prefix(1);
    while (!label.empty() && isBlank(label.back()))
        label.remove_suffix(1);
    std::u16string lower(label);
    for (char16_t &c : lower) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    for (std::u16string_view known : kLabels) {
        if (lower == known)
            return true;
    }
    return false;
}

std::u16string decodeGbk(std::string_view bytes, const GbkPairMapper &mapPair)
{
    std::u16string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            text.push_back(byte);
            ++i;
        } else if (byte == 0x80) {
            text.push_back(kEuroSign);
            ++i;
        } else if (!isLead(byte) || i + 1 == bytes.size()) {
            text.push_back(kReplacement);
            ++i;
        } else {
            const auto trail = static_cast<unsigned char>(bytes[i + 1]);
            if (isTrail(trail)) {
                text.push_back(mapPair(byte, trail));
                i += 2;
            } else if (trail < 0x80) {
                text.push_back(kReplacement);  // the ASCII byte is read again
                ++i;
            } else {
                text.push_back(kReplacement);  // 0xFF: no unit starts there either
                i += 2;
            }
        }
    }
    return text;
}

}  // namespace zuno
