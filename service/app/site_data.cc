// SPDX-License-Identifier: Apache-2.0
#include "app/site_data.h"

#include "app/labels_command.h"
#include "number/segment_table.h"
#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_store.h"

#include <stdexcept>

namespace zuno::service {

void loadSegments(const CommandLine &line, SegmentStore &segments)
{
    if (line.segments.empty())
        return;
    try {
        segments.replace(SegmentTable::load(line.segments));
    } catch (const SegmentFileError &error) {
        throw std::runtime_error(std::string("cannot load segments: ") + error.what());
    }
}

std::optional<std::filesystem::path> labelDatabase(const CommandLine &line)
{
    return line.database ? line.database : defaultDatabase();
}

OpenedLabels openLabels(const std::filesystem::path &database, const CommandLine &line)
{
    const LabelRules rules{line.labelMinReporters, line.labelWindowDays};
    OpenedLabels opened;
    if (isPostgresUri(database.string())) {
        // Instances on one server share the reporters' key: a network counts once.
        auto shared = std::make_unique<PgStore>(PgStore::Options{database.string(), rules, {}});
        opened.reporterSecret = shared->reporterSecret();
        opened.store = std::move(shared);
    } else {
        auto file = std::make_unique<SqliteStore>(SqliteStore::Options{database, rules, {}, {}});
        opened.reporterSecret = file->reporterSecret();
        opened.store = std::move(file);
    }
    return opened;
}

}  // namespace zuno::service
