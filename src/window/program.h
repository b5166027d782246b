// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "form1.h"

namespace zuno {

// Shows Form1 and runs until it is closed; returns the exit code. Qt is given programName
// alone, never the rest of the command line.
int runProgram(const char *programName, Form1Settings settings);

}  // namespace zuno
