// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>

struct xcb_connection_t;

namespace zuno {

// A connection to the X display that Qt's xcb platform is about to open, held until close().
// A display that refuses is asked again until `patience` has passed, since one just started may
// not listen yet; holding it keeps a server that resets when its last client leaves (Xvfb does)
// from resetting before Qt connects. Other window systems are left to Qt and count as open.
class DisplayConnection
{
public:
    explicit DisplayConnection(std::chrono::milliseconds patience);
    ~DisplayConnection() { close(); }
    DisplayConnection(const DisplayConnection &) = delete;
    DisplayConnection &operator=(const DisplayConnection &) = delete;

    // Empty when the display accepted the connection; otherwise why not, in one line.
    const std::string &problem() const { return problem_; }
    void close();

private:
    xcb_connection_t *connection_ = nullptr;
    std::string problem_;
};

}  // namespace zuno
