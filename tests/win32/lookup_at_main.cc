// SPDX-License-Identifier: Apache-2.0
#include "program.h"

#include <shellapi.h>

#include <memory>
#include <string>

// zuno-lookup.exe itself, but talking to the lookup service named by its first argument.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(
        CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    if (!arguments || count < 2)
        return 2;
    const std::wstring host = arguments.get()[1];
    return zuno::runProgram(instance, showCommand, std::string(host.begin(), host.end()));
}
