// SPDX-License-Identifier: Apache-2.0
#include "program.h"

#include <zuno/service_host.h>

// The command line is ignored: the program has no options.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    return zuno::runProgram(instance, showCommand, zuno::kServiceHost);
}
