// SPDX-License-Identifier: Apache-2.0
#include "http/address_blocks.h"

#include <string>

namespace zuno::service {

using boost::asio::ip::address;

address unmappedAddress(const address &address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    return address;
}

std::optional<AddressBlocks::Block> AddressBlocks::parse(std::string_view text)
{
    boost::system::error_code error;
    const std::string block(text.find('/') == std::string_view::npos ? std::string(text) +
                                    (text.find(':') == std::string_view::npos ? "/32" : "/128")
                                                                     : std::string(text));
    if (block.find(':') == std::string::npos) {
        const auto network = boost::asio::ip::make_network_v4(block, error);
        if (!error)
            return network.canonical();
    } else {
        const auto network = boost::asio::ip::make_network_v6(block, error);
        // A block of IPv4-mapped addresses is the IPv4 block: peers are compared unmapped.
        if (!error && network.address().is_v4_mapped() && network.prefix_length() >= 96)
            return boost::asio::ip::network_v4(
                       boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped,
                                                        network.address()),
                       static_cast<unsigned short>(network.prefix_length() - 96))
                .canonical();
        if (!error)
            return network.canonical();
    }
    return std::nullopt;
}

bool AddressBlocks::contains(const address &given) const
{
    const address peer = unmappedAddress(given);
    for (const auto &block : blocks_) {
        if (const auto *v4 = std::get_if<boost::asio::ip::network_v4>(&block)) {
            if (peer.is_v4() &&
                (boost::asio::ip::network_v4(peer.to_v4(), 32).is_subnet_of(*v4) ||
                 peer.to_v4() == v4->network()))
                return true;
        } else {
            const auto &v6 = std::get<boost::asio::ip::network_v6>(block);
            if (peer.is_v6() &&
                (boost::asio::ip::network_v6(peer.to_v6(), 128).is_subnet_of(v6) ||
                 peer.to_v6() == v6.network()))
                return true;
        }
    }
    return false;
}

}  // namespace zuno::service
