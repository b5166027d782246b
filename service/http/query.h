// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// Undoes %XX escapes; a '%' not followed by two hex digits stays as it is, and so does '+'
// (the window sends a typed "+86" unescaped).
std::string percentDecode(std::string_view text);

// A value of a form or of a query that a form made (application/x-www-form-urlencoded): '+'
// is a space, then %XX escapes are undone.
std::string formDecode(std::string_view text);

// For a name placed in a URL path segment: everything but unreserved characters is %XX.
std::string percentEncode(std::string_view text);

// The raw (still escaped) value of the first NAME=... in a query, the name compared without
// regard to case; nothing when the query has no such parameter, empty for "NAME" or "NAME=".
std::optional<std::string_view> queryParameter(std::string_view query, std::string_view name);

// The text of a title as it arrived in the query: percent-decoded, then read as UTF-8 when the
// bytes are well-formed UTF-8 and as GBK otherwise.
std::u16string decodeTitle(std::string_view rawValue);
// The same for a number typed into a form or sent to the API, where '+' is a space.
std::u16string decodeFormTitle(std::string_view rawValue);

// Without the spaces and tabs at either end (a header field's optional whitespace).
std::string_view withoutBlanks(std::string_view text);

}  // namespace zuno::service
