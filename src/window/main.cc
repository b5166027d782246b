// SPDX-License-Identifier: Apache-2.0
#include "help_and_version.h"
#include "program.h"

int main(int argc, char *argv[])
{
    if (const std::optional<int> status = zuno::answerHelpOrVersion(argc, argv))
        return *status;
    return zuno::runProgram(argc > 0 ? argv[0] : nullptr, {});
}
