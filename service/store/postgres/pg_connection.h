// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "store/sql_connection.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// A PostgreSQL call that failed; lost() tells whether the connection went with it.
class PgError : public std::runtime_error
{
public:
    PgError(std::string what, bool lost) : std::runtime_error(std::move(what)), lost_(lost) {}
    bool lost() const { return lost_; }

private:
    bool lost_;
};

// The rows a statement returned, as text; NULL reads as empty.
class PgRows
{
public:
    explicit PgRows(PGresult *result) : result_(result) {}
    bool empty() const { return !result_; }
    int size() const { return PQntuples(result_.get()); }
    std::string_view text(int row, int column) const;
    std::int64_t integer(int row, int column) const;
    // Rows a command changed.
    std::int64_t changed() const;

private:
    struct Clear {
        void operator()(PGresult *result) const { PQclear(result); }
    };
    std::unique_ptr<PGresult, Clear> result_;
};

// One connection through libpq's asynchronous interface: a statement is sent, and the thread
// waits on the socket for its answer (never longer than the timeout), so that a server that
// stops answering is noticed. Used by one thread at a time.
class PgConnection final : public SqlConnection
{
public:
    // Connects; throws PgError when it cannot.
    explicit PgConnection(const std::string &uri);

    // One statement with text parameters ($1, $2, ...); several without (migrations).
    PgRows run(std::string_view sql, const std::vector<std::string> &parameters = {});

    Kind kind() const override { return Kind::Postgres; }
    using SqlConnection::change;
    using SqlConnection::query;
    std::unique_ptr<SqlRows> query(std::string_view sql, SqlParameters parameters) override;
    std::int64_t change(std::string_view sql, SqlParameters parameters) override;
    void execute(std::string_view sql) override { run(sql); }
    void begin() override { execute("BEGIN"); }
    // On the channel every instance LISTENs on: the numbers, then "places", space-separated;
    // empty (anything) when that would not fit a notification.
    void announceChange(const LabelChanges &changes) override;

    int socket() const { return PQsocket(handle_.get()); }
    // Reads what arrived on the socket; what other connections announced since last asked, if
    // anything: all they named together, or nothing named when one named nothing.
    std::optional<LabelChanges> othersChanged();

private:
    PgRows finish(std::string_view sql);
    void waitReadable();

    struct Finish {
        void operator()(PGconn *connection) const { PQfinish(connection); }
    };
    std::unique_ptr<PGconn, Finish> handle_;
};

// Whether --database names a PostgreSQL server rather than an SQLite file.
bool isPostgresUri(std::string_view database);

// The URI as logs may show it: a password, in the user part (up to the last '@' before the
// host, as its writer meant it) or as a parameter, becomes ***, by its place, not its text.
std::string withoutPassword(std::string_view uri);

}  // namespace zuno::service
