// SPDX-License-Identifier: Apache-2.0
#include "migrations.h"

#include "sql_connection.h"

#include <array>

namespace zuno::service {
namespace {

// Times are Unix seconds, days are days since 1970-01-01 in China's time; numbers are E.164.
constexpr std::array<std::string_view, 2> kMigrations = {
    // 1: reports, one per network and number; daily report counts; imported lists; the audit.
    "CREATE TABLE reports ("
    " number TEXT NOT NULL, network TEXT NOT NULL, category TEXT NOT NULL,"
    " comment TEXT NOT NULL, reported_at BIGINT NOT NULL, day INTEGER NOT NULL,"
    " PRIMARY KEY (number, network));"
    "CREATE INDEX reports_by_day ON reports (day);"
    "CREATE TABLE daily_reports ("
    " network TEXT NOT NULL, day INTEGER NOT NULL, reports INTEGER NOT NULL,"
    " PRIMARY KEY (network, day));"
    "CREATE TABLE imported_labels ("
    " number TEXT PRIMARY KEY, category TEXT NOT NULL, reporters INTEGER NOT NULL,"
    " last_reported TEXT NOT NULL, source TEXT NOT NULL);"
    "CREATE TABLE audit ("
    " at BIGINT NOT NULL, action TEXT NOT NULL, detail TEXT NOT NULL);",
    // 2: places of number blocks the data has none for, one per network and 7-digit block.
    "CREATE TABLE place_reports ("
    " block TEXT NOT NULL, network TEXT NOT NULL, place TEXT NOT NULL,"
    " reported_at BIGINT NOT NULL, day INTEGER NOT NULL,"
    " PRIMARY KEY (block, network));",
};

}  // namespace

std::span<const std::string_view> migrations() { return kMigrations; }

std::optional<std::int64_t> migrateSchema(SqlConnection &sql)
{
    sql.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    std::int64_t version = 0;
    if (const auto read = sql.query("SELECT version FROM schema_version"); read->next())
        version = read->integer(0);
    else
        sql.execute("INSERT INTO schema_version (version) VALUES (0)");
    if (version > static_cast<std::int64_t>(kMigrations.size()))
        return version;
    for (auto step = static_cast<size_t>(version); step < kMigrations.size(); ++step)
        sql.execute(kMigrations[step]);
    sql.change("UPDATE schema_version SET version = $1",
               {static_cast<std::int64_t>(kMigrations.size())});
    return std::nullopt;
}

std::string newerSchemaMessage(std::int64_t version)
{
    return "its schema version " + std::to_string(version) + " is newer than this program knows (" +
        std::to_string(kMigrations.size()) + ")";
}

}  // namespace zuno::service
