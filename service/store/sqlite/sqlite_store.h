// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "store/sql_store.h"
#include "store/sqlite/sqlite_connection.h"

#include <filesystem>
#include <functional>
#include <string>

namespace zuno::service {

// The label store in one SQLite file (SqlStore's batching and rules): one transaction and one
// sync for the reports that arrived together. Changes made by other processes (the labels
// commands, seen by the file's data_version) and the passing of days rebuild the board within
// a second; a file removed or replaced while serving refuses writes.
class SqliteStore final : public SqlStore
{
public:
    struct Options {
        std::filesystem::path path;
        LabelRules rules;
        SqliteConnection::Durability durability = SqliteConnection::Durability::Full;
        // Unix seconds now; tests move it to age reports.
        std::function<std::int64_t()> clock;
    };

    // Opens and migrates the database, reads its reporters' key (made when the database holds
    // nothing keyed by one) and builds the first snapshot before returning; throws SqliteError
    // or std::runtime_error (one sentence for the operator) when it cannot.
    explicit SqliteStore(Options options);
    ~SqliteStore() override;

    // The reporters' key, kept beside the file (secretPathOf).
    const std::string &reporterSecret() const { return secret_; }

private:
    SqlConnection *reachable() override { return &connection_; }
    void checkWritable() override;
    bool stale() override;
    void rebuilt() override;
    std::chrono::milliseconds idleWait() const override;

    // Changes when another connection commits: a labels command run beside the service.
    std::int64_t dataVersion();

    SqliteConnection connection_;
    std::string secret_;
    std::int64_t builtVersion_ = 0;
};

}  // namespace zuno::service
