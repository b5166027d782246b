// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// GBK (code page 936) to and from UTF-16. Windows reads "GB2312" as code page 936, and older
// clients send GBK bytes, so it is the one legacy charset the service speaks; the window reads
// the same bytes the same way. The encoder is per thread, opened on first use.

// Characters that GBK cannot hold become '?'.
std::string encodeGbk(std::u16string_view text);
// Writes text's GBK at `to` as encodeGbk writes it, in at most 2 bytes a unit, and returns the end;
// null for a surrogate, which only the whole text's encoding pairs correctly.
char *writeGbk(char *to, std::u16string_view text);

// Whether a character encodes to GBK that strict decoders accept: one the converter maps both
// ways, but not 0x80 (the euro sign in code page 936 only) nor the user-defined areas that carry
// the private-use characters.
bool encodesToStrictGbk(char32_t c);

// As code page 936 reads them: 0x80 is the euro sign; a lead byte (0x81-0xFE) and a trail
// (0x40-0xFE but 0x7F) are one character, U+FFFD where the code page has none (GB18030's
// four-byte sequences are not code page 936); any other byte is U+FFFD, except that an ASCII
// byte after a lead byte is U+FFFD and then itself.
std::u16string decodeGbk(std::string_view bytes);

}  // namespace zuno::service
