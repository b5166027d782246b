// SPDX-License-Identifier: Apache-2.0
#include "server/deadlines.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <utility>

namespace zuno::service {

bool Deadlines::acknowledgedMore(int socket, std::uint64_t written, Clock::time_point now)
{
    int unacknowledged = 0;
    if (ioctl(socket, SIOCOUTQ, &unacknowledged) != 0 ||
        written - static_cast<std::uint64_t>(unacknowledged) <= acknowledged_)
        return false;
    acknowledged_ = written - static_cast<std::uint64_t>(unacknowledged);
    deadline_ = now + limits_.sendStallTimeout;
    return true;
}

void Deadlines::startBodyWindow()
{
    bodyWindowEnd_ = Clock::now() + limits_.bodyWindow;
    bodyWindowBytes_ = 0;
}

bool Deadlines::takeBodyTooSlow() { return std::exchange(bodyTooSlow_, false); }

}  // namespace zuno::service
