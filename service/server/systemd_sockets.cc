// SPDX-License-Identifier: Apache-2.0
#include "server/systemd_sockets.h"

#include <boost/system/system_error.hpp>
#include <systemd/sd-daemon.h>

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace zuno::service {

std::vector<int> socketsFromSystemd()
{
    // Read first: sd_listen_fds removes it.
    const char *announced = std::getenv("LISTEN_FDS");
    const std::string count = announced ? announced : "";
    // Sets close-on-exec on each descriptor, and fails when one of them is not open.
    const int handed = sd_listen_fds(1);
    if (handed < 0)
        throw SocketActivationError(
            "LISTEN_FDS=" + count +
            " does not match the descriptors systemd handed over: " + std::strerror(-handed));
    std::vector<int> sockets;
    for (int i = 0; i < handed; ++i) {
        const int descriptor = SD_LISTEN_FDS_START + i;
        try {
            listeningProtocol(descriptor);
        } catch (const boost::system::system_error &error) {
            throw SocketActivationError(error.what());
        }
        sockets.push_back(descriptor);
    }
    return sockets;
}

boost::asio::ip::tcp listeningProtocol(int descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
        (size = sizeof listening,
         getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) ||
        type != SOCK_STREAM || !listening ||
        (address.ss_family != AF_INET && address.ss_family != AF_INET6))
        throw boost::system::system_error(make_error_code(boost::system::errc::not_a_socket),
                                          "descriptor " + std::to_string(descriptor) +
                                              " from systemd is no listening TCP socket");
    return address.ss_family == AF_INET ? boost::asio::ip::tcp::v4() : boost::asio::ip::tcp::v6();
}

}  // namespace zuno::service
