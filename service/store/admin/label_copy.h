// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zuno::service {

// What a copy moved.
struct CopiedLabels {
    std::int64_t reports = 0;
    std::int64_t places = 0;
    std::int64_t imported = 0;
    std::int64_t auditRows = 0;
    bool reporterKey = false;  // false: the SQLite file had no key beside it
};

// Moves a single-instance installation's labels from its SQLite file into a PostgreSQL
// database that holds none yet: reports, place reports, daily report counts, imported labels,
// the audit trail and the reporters' key (so that a network keeps its key: it still counts once
// and can withdraw what it reported before). All in one transaction on the target, migrated
// first: a copy that fails or is killed leaves it as it was. The SQLite file is held locked
// meanwhile, so that a service still writing to it cannot acknowledge a report the copy misses.
// Records the copy in the target's audit and tells its instances. Throws std::runtime_error
// (the databases' errors included), one sentence, when it copies nothing.
CopiedLabels copyLabels(const std::filesystem::path &from, const std::string &toUri,
                        std::int64_t now);

}  // namespace zuno::service
