// SPDX-License-Identifier: Apache-2.0
#include "home_page.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

#include <string>
#else
#include <QDesktopServices>
#include <QUrl>
#endif

using namespace Qt::StringLiterals;

namespace zuno {

void openWithDesktop(const QString &url)
{
#ifdef Q_OS_WIN
    // Explorer.exe "http://host", window style 2 (SW_SHOWMINIMIZED); a failure to start is
    // absorbed on purpose, like the task identifier: the click has nothing to report to.
    std::wstring commandLine = L"Explorer.exe \"" + url.toStdWString() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINIMIZED;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
#else
    // TolerantMode keeps the text as given; a launcher that cannot start is absorbed on purpose.
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
#endif
}

void openHomePage(const QString &serviceHost, const UrlLauncher &launcher)
{
    launcher(u"http://"_s + serviceHost);
}

}  // namespace zuno
