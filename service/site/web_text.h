// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view text);

// Without the spaces and tabs at either end (a header field's optional whitespace).
std::string_view withoutBlanks(std::string_view text);

// For text placed in HTML, in an element or in a quoted attribute.
std::string escapeHtml(std::string_view text);

// For a name placed in a URL path segment: everything but unreserved characters is %XX.
std::string percentEncode(std::string_view text);

// The raw (still escaped) value of the first NAME=... in a query, the name compared without
// regard to case; nothing when the query has no such parameter, empty for "NAME" or "NAME=".
std::optional<std::string_view> queryParameter(std::string_view query, std::string_view name);

}  // namespace zuno::service
