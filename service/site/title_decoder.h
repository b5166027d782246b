// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace zuno::service {

// Undoes %XX escapes; a '%' not followed by two hex digits stays as it is, and so does '+'
// (the window sends a typed "+86" unescaped).
std::string percentDecode(std::string_view text);

// The text of a title as it arrived in the query: percent-decoded, then read as UTF-8 when the
// bytes are well-formed UTF-8 and as GBK otherwise.
std::u16string decodeTitle(std::string_view rawValue);

}  // namespace zuno::service
