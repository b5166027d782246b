// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "fetched_value.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace zuno {

// A reply is shown only when it is longer than this many UTF-16 code units.
inline constexpr std::size_t kAcceptanceThreshold = 9;

// The charset the service's replies are read in.
inline constexpr char16_t kReplyCharset[] = u"GB2312";

// Shown in the result box when no usable reply came back.
inline constexpr char16_t kFailureMessage[] = u"连接网络失败!";

// The request URL for typedText: "http://" + serviceHost + "/iii.asp?title=" and then every
// UTF-8 byte of the text outside RFC 3986's unreserved characters as %XX, so the service sees
// one parameter `title` holding the text exactly as typed.
std::string lookupUrl(std::string_view serviceHost, std::u16string_view typedText);

// What the result box shows for a reply: the reply whole when it is longer than the threshold,
// the failure message otherwise.
std::u16string textToShow(const FetchedValue &reply);

// The home page: "http://" + serviceHost, with nothing after the host.
std::string homePageUrl(std::string_view serviceHost);

}  // namespace zuno
