// SPDX-License-Identifier: Apache-2.0
#include "form1_layout.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

// Reads the running window as a test sees it, from another process of the same Wine:
//   zuno-inspect text CONTROL   the control's text as UTF-16 code units in hex, "-" for none
//   zuno-inspect focus          the name of the control that has the keyboard focus
// Exits with 1 when there is no window.
int main(int argc, char *argv[])
{
    HWND window = FindWindowW(L"ZunoLookupForm1", nullptr);
    if (!window || argc < 2)
        return 1;
    const std::string_view command = argv[1];
    if (command == "focus") {
        GUITHREADINFO thread{};
        thread.cbSize = sizeof thread;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread))
            return 1;
        const int id = GetDlgCtrlID(thread.hwndFocus);
        const std::size_t index = static_cast<std::size_t>(id - 100);
        std::printf("%s\n",
                    thread.hwndFocus && GetParent(thread.hwndFocus) == window &&
                            index < zuno::kForm1Controls.size()
                        ? std::string(zuno::kForm1Controls[index].name).c_str()
                        : "-");
        return 0;
    }
    if (command == "text" && argc == 3) {
        std::size_t index = 0;
        while (index < zuno::kForm1Controls.size() && zuno::kForm1Controls[index].name != argv[2])
            ++index;
        HWND control = GetDlgItem(window, static_cast<int>(100 + index));
        if (!control)
            return 1;
        // WM_GETTEXT across processes: Wine and Windows marshal the text.
        const LRESULT length = SendMessageW(control, WM_GETTEXTLENGTH, 0, 0);
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        text.resize(static_cast<std::size_t>(
            SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
        std::string hex;
        char unit[8];
        for (const wchar_t c : text) {
            std::snprintf(unit, sizeof unit, "%s%04X", hex.empty() ? "" : " ", unsigned(c));
            hex += unit;
        }
        std::printf("%s\n", hex.empty() ? "-" : hex.c_str());
        return 0;
    }
    return 2;
}
