#pragma once

#include <vector>

namespace zuno::service {

// The listening sockets systemd handed to this process (socket activation: LISTEN_PID,
// LISTEN_FDS), marked close-on-exec; none when it was started otherwise. The variables are
// removed so that no child takes them for its own.
std::vector<int> socketsFromSystemd();

}  // namespace zuno::service
