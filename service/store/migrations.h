// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zuno::service {

// The schema, one step a version: migrations()[n] takes the database from version n to n + 1.
// Plain SQL that SQLite and PostgreSQL both take; the version is kept in schema_version.
std::span<const std::string_view> migrations();

class SqlConnection;

// Applies the migrations the database lacks, within the caller's transaction; a database already
// current is only read. Returns the version found when it is newer than this program knows:
// nothing is changed then.
std::optional<std::int64_t> migrateSchema(SqlConnection &sql);
// Whether the database has the table, where unqualified statements would find it.
bool hasTable(SqlConnection &sql, std::string_view table);
// The sentence that refuses such a database.
std::string newerSchemaMessage(std::int64_t version);

}  // namespace zuno::service
