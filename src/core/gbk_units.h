// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zuno {

// Maps one well-formed two-byte unit of code page 936 to its character; returns U+FFFD when the
// code page leaves the pair unmapped. Each platform answers from its own table.
using GbkPairMapper = std::function<char16_t(unsigned char lead, unsigned char trail)>;

// Whether a charset label means code page 936 ("GB2312", "GBK", "chinese", ... as the WHATWG
// Encoding Standard and Windows read them); case and surrounding blanks do not matter.
bool isGbkLabel(std::u16string_view label);

// Decodes bytes as code page 936. Which bytes form a unit is decided here, the same on every
// platform; only complete pairs go to mapPair:
// - 0x00-0x7F is itself, 0x80 alone is U+20AC, 0xFF is U+FFFD;
// - a lead 0x81-0xFE and a trail 0x40-0x7E or 0x80-0xFE are a pair;
// - a lead followed by an ASCII byte is U+FFFD and the ASCII byte is read again (so GB18030's
//   four-byte sequences, whose second byte is a digit, are malformed);
// - a lead followed by 0xFF is one U+FFFD for both; a lead at the end is U+FFFD.
std::u16string decodeGbk(std::string_view bytes, const GbkPairMapper &mapPair);

}  // namespace zuno
