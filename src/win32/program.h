// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <windows.h>

#include <string>

namespace zuno {

// Shows Form1 for the service at serviceHost and runs its message loop until it is closed;
// returns the exit code.
int runProgram(HINSTANCE instance, int showCommand, std::string serviceHost);

}  // namespace zuno
