// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <filesystem>
#include <string>

namespace zuno::service {

// The installation's secret for keying reporters' networks, kept in `path` (mode 0600):
// read when the file exists, made from OpenSSL's random bytes when it does not and the
// database holds no report or place made under an earlier one (`keyedRowsHeld`). Throws
// std::runtime_error when it can do neither, when the file is missing beside such rows, is not
// a regular file or is open to others.
std::string reporterSecret(const std::filesystem::path &path, bool keyedRowsHeld = false);

// Where the secret of a database is kept: beside it, "labels.sqlite3" → "labels.sqlite3.key".
std::filesystem::path secretPathOf(const std::filesystem::path &database);

}  // namespace zuno::service
