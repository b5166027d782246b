// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// An HTTP date in RFC 9110's preferred form, IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string formatHttpDate(std::time_t time);
// The same into text, without allocating; false for a time out of range.
inline constexpr size_t kHttpDateSize = 40;
bool formatHttpDate(std::time_t time, char (&text)[kHttpDateSize]);

// Any of the three forms RFC 9110 asks recipients to accept (IMF-fixdate, RFC 850, asctime);
// nothing for anything else.
std::optional<std::time_t> parseHttpDate(std::string_view text);

}  // namespace zuno::service
