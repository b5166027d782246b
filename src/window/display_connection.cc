// SPDX-License-Identifier: Apache-2.0
#include "display_connection.h"

#include <QByteArray>
#include <QtGlobal>

#ifdef ZUNO_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include <thread>

namespace zuno {
namespace {

// Whether Qt will open xcb alone: named by QT_QPA_PLATFORM (with no fallback after it), or by
// default outside a Wayland session.
bool qtOpensXcbOnly()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty())
        return platform == "xcb" || (platform.startsWith("xcb:") && !platform.contains(';'));
    return !qEnvironmentVariableIsSet("WAYLAND_DISPLAY") &&
        qgetenv("XDG_SESSION_TYPE") != "wayland";
}

}  // namespace

DisplayConnection::DisplayConnection(std::chrono::milliseconds patience)
{
#ifdef ZUNO_HAVE_XCB
    if (!qtOpensXcbOnly())
        return;
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty()) {
        problem_ = "cannot open a window: DISPLAY is not set";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        connection_ = xcb_connect(nullptr, nullptr);
        const int error = xcb_connection_has_error(connection_);
        if (error == 0)
            return;
        close();
        // Only a display that does not answer yet is worth asking again; a malformed name is not.
        if (error != XCB_CONN_ERROR || std::chrono::steady_clock::now() >= deadline) {
            problem_ = "cannot open display \"" + display.toStdString() + '"';
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
#else
    Q_UNUSED(patience);
#endif
}

void DisplayConnection::close()
{
#ifdef ZUNO_HAVE_XCB
    if (connection_)
        xcb_disconnect(connection_);  // an error connection too, which it leaves alone
#endif
    connection_ = nullptr;
}

}  // namespace zuno
