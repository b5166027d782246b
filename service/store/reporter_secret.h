// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <filesystem>
#include <string>

namespace zuno::service {

// The installation's secret for keying reporters' networks, kept in `path` (mode 0600):
// read when the file exists, made from OpenSSL's random bytes when it does not. Throws
// std::runtime_error when it can do neither, or when the file is open to others.
std::string reporterSecret(const std::filesystem::path &path);

// Where the secret of a database is kept: beside it, "labels.sqlite3" → "labels.sqlite3.key".
std::filesystem::path secretPathOf(const std::filesystem::path &database);

}  // namespace zuno::service
