// SPDX-License-Identifier: Apache-2.0
#include "trusted_proxies.h"

#include "web_text.h"

#include <string>

namespace zuno::service {
namespace {

using boost::asio::ip::address;

// An IPv4 peer reached over an IPv6 socket is the IPv4 address.
address unmapped(const address &peer)
{
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, peer.to_v6());
    return peer;
}

}  // namespace

std::optional<std::variant<boost::asio::ip::network_v4, boost::asio::ip::network_v6>>
TrustedProxies::parseBlock(std::string_view text)
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
        if (!error)
            return network.canonical();
    }
    return std::nullopt;
}

void TrustedProxies::add(
    std::variant<boost::asio::ip::network_v4, boost::asio::ip::network_v6> block)
{
    blocks_.push_back(block);
}

bool TrustedProxies::trusts(const address &peer) const
{
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

address TrustedProxies::clientOf(const address &peer, std::string_view forwardedFor) const
{
    const address direct = unmapped(peer);
    if (forwardedFor.empty() || !trusts(direct))
        return direct;
    const size_t comma = forwardedFor.rfind(',');
    const std::string_view last = withoutBlanks(
        comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    boost::system::error_code error;
    const address client = boost::asio::ip::make_address(std::string(last), error);
    return error ? direct : unmapped(client);
}

}  // namespace zuno::service
