// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace zuno::service {

// zuno-lookupd lookup [FILE|-]: the numbers of a file, or of standard input for "-", looked up
// without a server and written to standard output as the batch API's CSV, a piece at a time,
// so that a pipeline gets rows as it feeds numbers. The exit status: 0, or 1 when the file
// cannot be read or the output cannot be written (said on standard error).
int lookupToStandardOutput(const std::string &file);

}  // namespace zuno::service
