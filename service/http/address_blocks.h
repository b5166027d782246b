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

// A set of addresses given as CIDR blocks, such as the operator's --trusted-proxy or
// --metrics-from.
class AddressBlocks
{
public:
    using Block = std::variant<boost::asio::ip::network_v4, boost::asio::ip::network_v6>;

    // "10.0.0.0/8", "::1/128", or one address; nothing for anything else.
    static std::optional<Block> parse(std::string_view text);

    void add(Block block) { blocks_.push_back(block); }
    bool empty() const { return blocks_.empty(); }
    // Whether an address lies in one of the blocks; an IPv4 address reached over an IPv6 socket
    // counts as the IPv4 address.
    bool contains(const boost::asio::ip::address &address) const;

private:
    std::vector<Block> blocks_;
};

// An IPv4 peer reached over an IPv6 socket is the IPv4 address.
boost::asio::ip::address unmappedAddress(const boost::asio::ip::address &address);

}  // namespace zuno::service
