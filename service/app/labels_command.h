// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/command_line.h"

#include <filesystem>
#include <optional>

namespace zuno::service {

// The label database used without --database: labels.sqlite3 in systemd's state directory
// ($STATE_DIRECTORY), else in /var/lib/zuno-lookupd when that folder exists; none otherwise.
std::optional<std::filesystem::path> defaultDatabase();

// zuno-lookupd labels show NUMBER | clear NUMBER [--before DATE] | export | import FILE | migrate |
// copy --from FILE --to URI.
// Returns the exit status; throws UsageError for a command line it cannot obey.
int runLabelsCommand(const CommandLine &line);

}  // namespace zuno::service
