// SPDX-License-Identifier: Apache-2.0
#include "program.h"

#include <QString>

#include <utility>

// zuno-lookup itself, but talking to the lookup service named by its first argument.
int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    zuno::Form1Settings settings;
    settings.serviceHost = QString::fromLocal8Bit(argv[1]);
    return zuno::runProgram(argv[0], std::move(settings));
}
