// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/address_blocks.h"

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string_view>

namespace zuno::service {

// The proxies whose X-Forwarded-For is believed, as CIDR blocks.
class TrustedProxies
{
public:
    // "10.0.0.0/8", "::1/128", or one address; nothing for anything else.
    static std::optional<AddressBlocks::Block> parseBlock(std::string_view text)
    {
        return AddressBlocks::parse(text);
    }

    void add(AddressBlocks::Block block) { blocks_.add(block); }

    // The client's address: the last one in X-Forwarded-For (the one the proxy added) when the
    // connection comes from a trusted proxy and the field holds an address; the peer otherwise.
    boost::asio::ip::address clientOf(const boost::asio::ip::address &peer,
                                      std::string_view forwardedFor) const;

private:
    AddressBlocks blocks_;
};

}  // namespace zuno::service
