// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/command_line.h"
#include "labels/label_store.h"
#include "number/segment_store.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace zuno::service {

// The data answers come from beside the built-in tables, opened as the command line says: the
// same for the service and for the lookup command, so that both answer alike.

// Loads the --segments files into segments, whole or not at all (none given: nothing changes);
// throws std::runtime_error naming the file and line that cannot be used.
void loadSegments(const CommandLine &line, SegmentStore &segments);

// The label database of --database, else the state directory's; none without either.
std::optional<std::filesystem::path> labelDatabase(const CommandLine &line);

struct OpenedLabels {
    std::unique_ptr<LabelStore> store;
    std::string reporterSecret;
};

// Opens and migrates the SQLite file or PostgreSQL URI with the command line's label rules, its
// first snapshot built; throws (one sentence for the operator) when it cannot.
OpenedLabels openLabels(const std::filesystem::path &database, const CommandLine &line);

}  // namespace zuno::service
