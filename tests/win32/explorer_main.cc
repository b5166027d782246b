// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <cstdio>
#include <string>

// Stands in for Explorer.exe beside the program under test: notes its command line and the
// window style it was started with, one line each time, in launched.txt beside itself.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return 1;
    std::wstring notes(path, length);
    notes = notes.substr(0, notes.find_last_of(L'\\') + 1) + L"launched.txt";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const int style = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    FILE *file = _wfopen(notes.c_str(), L"ab");
    if (!file)
        return 1;
    const std::wstring line =
        std::wstring(GetCommandLineW()) + L" | style " + std::to_wstring(style);
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    std::fprintf(file, "%s\n", utf8.c_str());
    return std::fclose(file) == 0 ? 0 : 1;
}
