// SPDX-License-Identifier: Apache-2.0
#include "home_page.h"

#include "fetched_value.h"

#include <windows.h>

namespace zuno {

void openWithExplorer(const std::string &url)
{
    const std::u16string quoted = u"Explorer.exe \"" + utf8ToUtf16(url) + u"\"";
    std::wstring commandLine(quoted.begin(), quoted.end());
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
}

}  // namespace zuno
