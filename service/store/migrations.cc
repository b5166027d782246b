// SPDX-License-Identifier: Apache-2.0
#include "store/migrations.h"

#include "store/sql_connection.h"

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

bool hasTable(SqlConnection &sql, std::string_view table)
{
    // As unqualified statements find it: SQLite's main file, PostgreSQL's search_path.
    const auto found = sql.query(sql.kind() == SqlConnection::Kind::Sqlite
                                     ? "SELECT count(*) FROM sqlite_master "
                                       "WHERE type = 'table' AND name = $1"
                                     : "SELECT count(*) FROM (SELECT to_regclass($1) AS t) AS c "
                                       "WHERE t IS NOT NULL",
                                 {table});
    return found->next() && found->integer(0) > 0;
}

std::optional<std::int64_t> migrateSchema(SqlConnection &sql)
{
    std::int64_t version = 0;
    bool versioned = false;
    if (hasTable(sql, "schema_version"))
        if (const auto read = sql.query("SELECT version FROM schema_version"); read->next()) {
            version = read->integer(0);
            versioned = true;
        }
    if (version > static_cast<std::int64_t>(kMigrations.size()))
        return version;
    // A current schema is only read: a role that may read and write the tables but not make
    // them serves a database its owner migrated.
    if (version == static_cast<std::int64_t>(kMigrations.size()))
        return std::nullopt;
    sql.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    if (!versioned)
        sql.execute("INSERT INTO schema_version (version) VALUES (0)");
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
