// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// The host of an authority ("Www.Example.com.:8080", "[::1]:80"): in lower case, without its
// port, a final dot or an IPv6 address's brackets; nothing when it is no host name (letters,
// digits, '-' and '.' in labels of at most 63), IPv4 address or bracketed IPv6 address.
std::optional<std::string> hostNameOf(std::string_view authority);

// An origin as browsers send it in their Origin field: "http" or "https", "://", a host and a
// port other than the scheme's own; in lower case, the default port left out
// ("HTTPS://Example.com:443" is "https://example.com"). Nothing for anything else.
std::optional<std::string> canonicalOrigin(std::string_view text);

// Whether a request's Host field names this site: an IP address, localhost, or one of the
// site's names (lower case, as hostNameOf gives them). A page whose own name an attacker points
// at this site's address (DNS rebinding) sends its own name here, and is no page of this site.
bool namesThisSite(std::string_view hostField, const std::vector<std::string> &siteNames);

}  // namespace zuno::service
