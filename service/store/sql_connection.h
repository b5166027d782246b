// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zuno::service {

// What a transaction changed, for the stores of other processes: the numbers whose reports
// changed (E.164) and whether blocks' places did. Nothing named: anything may have.
struct LabelChanges {
    std::vector<std::string> numbers;
    bool places = false;
    bool namesNothing() const { return numbers.empty() && !places; }
};

// A value for a statement's $1, $2, ...: text or an integer.
using SqlParameter = std::variant<std::int64_t, std::string_view>;
using SqlParameters = std::span<const SqlParameter>;

// The rows of one statement, read in turn; valid until the next statement on its connection.
class SqlRows
{
public:
    virtual ~SqlRows() = default;
    // Moves to the next row; false past the last.
    virtual bool next() = 0;
    // A column of the current row; NULL reads as empty and as 0.
    virtual std::string_view text(int column) const = 0;
    virtual std::int64_t integer(int column) const = 0;
};

// A connection to the label database, an SQLite file or a PostgreSQL server, through which the
// stores and the operator's commands run the same statements: written once, with $1, $2, ...
// for their parameters (SQLite takes them as names). Each call throws the database's own error
// (SqliteError, PgError: both std::runtime_error) when it fails. Used by one thread at a time.
class SqlConnection
{
public:
    enum class Kind { Sqlite, Postgres };

    virtual ~SqlConnection() = default;
    virtual Kind kind() const = 0;

    // One statement and its rows.
    virtual std::unique_ptr<SqlRows> query(std::string_view sql, SqlParameters parameters) = 0;
    std::unique_ptr<SqlRows> query(std::string_view sql,
                                   std::initializer_list<SqlParameter> parameters = {})
    {
        return query(sql, SqlParameters(parameters.begin(), parameters.size()));
    }
    // One statement that returns no rows; how many rows it changed.
    virtual std::int64_t change(std::string_view sql, SqlParameters parameters) = 0;
    std::int64_t change(std::string_view sql, std::initializer_list<SqlParameter> parameters = {})
    {
        return change(sql, SqlParameters(parameters.begin(), parameters.size()));
    }
    // Statements without parameters, one or several (the migrations).
    virtual void execute(std::string_view sql) = 0;
    // Begins a transaction that will write: SQLite takes the file's write lock at once, so that
    // a reader never has to turn writer halfway.
    virtual void begin() = 0;
    // Tells the stores of other processes, once the transaction commits, what changed, so that
    // they read only that again: NOTIFY on PostgreSQL; SQLite's stores see the file's
    // data_version change by themselves, and read everything again.
    virtual void announceChange(const LabelChanges &changes = {}) = 0;
};

// A transaction rolled back unless committed: leaving its scope by an exception undoes it.
class SqlTransaction
{
public:
    explicit SqlTransaction(SqlConnection &connection);
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction &) = delete;
    SqlTransaction &operator=(const SqlTransaction &) = delete;

    void commit();

private:
    SqlConnection &connection_;
    bool open_ = true;
};

}  // namespace zuno::service
