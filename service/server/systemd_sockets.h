// SPDX-License-Identifier: Apache-2.0
// Listening sockets handed over by systemd's socket activation.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <stdexcept>
#include <vector>

namespace zuno::service {

// Descriptors from systemd that cannot be served; what() says which and why, in one line.
class SocketActivationError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The listening sockets systemd handed to this process (socket activation: LISTEN_PID,
// LISTEN_FDS); none when it was started otherwise. The variables are removed so that no child
// takes them for its own. Throws SocketActivationError when LISTEN_FDS is malformed or names
// descriptors that are not open or are no listening TCP sockets: serving --listen instead would
// leave the clients systemd holds waiting.
std::vector<int> socketsFromSystemd();

// The protocol of a listening TCP socket, to adopt it; throws boost::system::system_error for
// any other descriptor.
boost::asio::ip::tcp listeningProtocol(int descriptor);

}  // namespace zuno::service
