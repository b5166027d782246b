// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>

#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace zuno::service {

// The proxies whose X-Forwarded-For is believed, as CIDR blocks.
class TrustedProxies
{
public:
    // "10.0.0.0/8", "::1/128", or one address; nothing for anything else.
    static std::optional<std::variant<boost::asio::ip::network_v4, boost::asio::ip::network_v6>>
    parseBlock(std::string_view text);

    void add(std::variant<boost::asio::ip::network_v4, boost::asio::ip::network_v6> block);

    // The client's address: the last one in X-Forwarded-For (the one the proxy added) when the
    // connection comes from a trusted proxy and the field holds an address; the peer otherwise.
    boost::asio::ip::address clientOf(const boost::asio::ip::address &peer,
                                      std::string_view forwardedFor) const;

private:
    bool trusts(const boost::asio::ip::address &peer) const;
    std::vector<std::variant<boost::asio::ip::network_v4, boost::asio::ip::network_v6>> blocks_;
};

}  // namespace zuno::service
