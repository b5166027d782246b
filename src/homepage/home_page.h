// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <functional>

namespace zuno {

// Hands a URL to whatever opens it in the user's browser; returns at once.
using UrlLauncher = std::function<void(const QString &url)>;

// The desktop's own launcher, QDesktopServices (xdg-open on Linux). Does not wait for the
// browser.
void openWithDesktop(const QString &url);

// Opens the home page of the site at serviceHost through launcher: "http://" + serviceHost,
// with nothing after the host (no slash, no path).
void openHomePage(const QString &serviceHost, const UrlLauncher &launcher);

}  // namespace zuno
