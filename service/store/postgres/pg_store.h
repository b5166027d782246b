// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "store/postgres/pg_connection.h"
#include "store/sql_store.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zuno::service {

// Migrates the database under an advisory lock (instances starting together migrate once) and
// reads the reporters' key every instance shares, making it when there is none. Throws PgError.
std::string preparePgDatabase(PgConnection &connection);

// The reporters' key as reporter_key keeps it. A key an instance made is 64 hexadecimal digits,
// used as they are; one moved from an SQLite file (raw bytes, which a text column cannot hold)
// is kept as "\x" and its bytes in hex, and read back as those bytes.
std::string reporterKeyText(std::string_view key);

// The label store in a PostgreSQL database that several instances share (SqlStore's batching
// and rules, on a connection of its own): each commit sends NOTIFY zuno_labels naming the
// numbers it changed; every instance LISTENs and reads those numbers again on another's
// notification (everything, for one that names none, such as an operator's import), and
// rebuilds its whole board every 5 s in case one was missed. When the server goes away, writes
// answer Unavailable, the board keeps what it had, and the thread reconnects with backoff (logged
// once when it goes, once when it is back).
class PgStore final : public SqlStore
{
public:
    struct Options {
        std::string uri;  // any libpq connection URI
        LabelRules rules;
        std::function<std::int64_t()> clock;  // Unix seconds now; tests move it
    };

    // Connects, migrates (one instance at a time) and builds the first snapshot before
    // returning; throws PgError (one sentence for the operator) when it cannot.
    explicit PgStore(Options options);
    ~PgStore() override;

    // The reporters' key every instance on the database shares: made by the first.
    const std::string &reporterSecret() const { return secret_; }

private:
    SqlConnection *reachable() override;
    bool stale() override;
    void rebuilt() override;
    void catchUp(SqlConnection &sql) override;
    // Drops a connection that went with the failure; reachable() makes a new one.
    void lost(const std::exception &error) override;
    int socket() const override;
    void socketReadable() override;
    std::chrono::milliseconds idleWait() const override;
    void connect();

    const std::string uri_;
    std::unique_ptr<PgConnection> connection_;
    std::string secret_;
    std::chrono::steady_clock::time_point builtAt_;
    std::chrono::steady_clock::time_point nextAttempt_;
    std::chrono::milliseconds backoff_{0};
    bool notified_ = false;       // another's change, unnamed: the board is built again
    LabelChanges othersChanged_;  // others' changes named, read again at the next turn
};

}  // namespace zuno::service
