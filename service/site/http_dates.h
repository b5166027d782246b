#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// An HTTP date in RFC 9110's preferred form, IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string formatHttpDate(std::time_t time);

// Any of the three forms RFC 9110 asks recipients to accept (IMF-fixdate, RFC 850, asctime);
// nothing for anything else.
std::optional<std::time_t> parseHttpDate(std::string_view text);

}  // namespace zuno::service
