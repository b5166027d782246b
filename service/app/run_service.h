// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace zuno::service {

// The program zuno-lookupd: reads the command line, serves until SIGINT or SIGTERM and returns
// the exit status (0 when stopped by a signal, 1 on a failure, 2 on a bad command line).
int runService(int argc, char **argv);

}  // namespace zuno::service
