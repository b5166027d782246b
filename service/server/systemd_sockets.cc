#include "systemd_sockets.h"

#include <systemd/sd-daemon.h>

#include <fcntl.h>

namespace zuno::service {

std::vector<int> socketsFromSystemd()
{
    const int count = sd_listen_fds(1);
    std::vector<int> sockets;
    for (int i = 0; i < count; ++i) {
        const int descriptor = SD_LISTEN_FDS_START + i;
        // Failing leaves the descriptor inheritable, which only matters to a child; none runs.
        fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        sockets.push_back(descriptor);
    }
    return sockets;
}

}  // namespace zuno::service
