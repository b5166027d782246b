// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/command_line.h"

namespace zuno::service {

// zuno-lookupd lookup [FILE|-]: the numbers of a file, or of standard input for "-", looked up
// without a server, with the service's --segments files and label database, and written to
// standard output as the batch API's rows (CSV, or JSON Lines), a piece at a time, so that a
// pipeline gets rows as it feeds numbers. The exit status: 0, or 1 when the file, the segments
// or the database cannot be read or the output cannot be written (said on standard error).
int lookupToStandardOutput(const CommandLine &line);

}  // namespace zuno::service
