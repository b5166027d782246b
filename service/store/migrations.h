// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <span>
#include <string_view>

namespace zuno::service {

// The schema, one step a version: migrations()[n] takes the database from version n to n + 1.
// Plain SQL that SQLite and PostgreSQL both take; the version is kept in schema_version.
std::span<const std::string_view> migrations();

}  // namespace zuno::service
