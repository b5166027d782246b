// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// GBK (code page 936) to and from UTF-16, read as GB18030 reads it. GB2312 readers decode GBK,
// and older clients send GBK bytes, so it is the one legacy charset the service speaks.
// Each thread keeps its own converters, opened on first use.

// Characters that GBK cannot hold become '?'.
std::string encodeGbk(std::u16string_view text);

// Whether a character encodes to GBK that strict decoders accept: one the converter maps both
// ways, but not 0x80 (the euro sign in code page 936 only) nor the user-defined areas that carry
// the private-use characters.
bool encodesToStrictGbk(char32_t c);

// Malformed or unassigned sequences become U+FFFD.
std::u16string decodeGbk(std::string_view bytes);

}  // namespace zuno::service
