// SPDX-License-Identifier: Apache-2.0
#include "http/query.h"
#include "http/trusted_proxies.h"


#include <string>

namespace zuno::service {

using boost::asio::ip::address;

address TrustedProxies::clientOf(const address &peer, std::string_view forwardedFor) const
{
    const address direct = unmappedAddress(peer);
    if (forwardedFor.empty() || !blocks_.contains(direct))
        return direct;
    const size_t comma = forwardedFor.rfind(',');
    const std::string_view last = withoutBlanks(
        comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    boost::system::error_code error;
    const address client = boost::asio::ip::make_address(std::string(last), error);
    return error ? direct : unmappedAddress(client);
}

}  // namespace zuno::service
