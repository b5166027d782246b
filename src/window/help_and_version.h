// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>

namespace zuno {

// --help and --version, answered on standard output before any display is opened, so that they
// work where no window can. Returns the exit status when one was asked for; the window ignores
// every other argument.
std::optional<int> answerHelpOrVersion(int argc, const char *const argv[]);

}  // namespace zuno
