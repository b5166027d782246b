// SPDX-License-Identifier: Apache-2.0
#include "program.h"

#include "form1.h"

#include <utility>

namespace zuno {

int runProgram(HINSTANCE instance, int showCommand, std::string serviceHost)
{
    Form1 form(std::move(serviceHost));
    if (!form.show(instance, showCommand))
        return 1;
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1)
            return 1;
        // The dialog manager moves the focus with Tab; Enter and Escape reach the window as
        // IDOK and IDCANCEL, which it ignores.
        if (form.window() && IsDialogMessageW(form.window(), &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace zuno
