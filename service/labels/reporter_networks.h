// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <boost/asio/ip/address.hpp>

#include <string>

namespace zuno::service {

// Who reported, without knowing who: a client's network (an IPv4 /24 or an IPv6 /48; an
// IPv4-mapped IPv6 address counts as IPv4) kept only as an HMAC-SHA256 of its prefix under a
// secret of this installation, so that the database holds no address.
class ReporterNetworks
{
public:
    // secret: the bytes of the installation's key, at least 32.
    explicit ReporterNetworks(std::string secret);

    // 32 hexadecimal digits, the same for every address of one network.
    std::string keyOf(const boost::asio::ip::address &client) const;

private:
    std::string secret_;
};

}  // namespace zuno::service
