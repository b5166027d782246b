// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "store/sql_connection.h"

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zuno::service {

// An SQLite call that failed; what() says which and why.
class SqliteError : public std::runtime_error
{
public:
    SqliteError(std::string what, int code) : std::runtime_error(std::move(what)), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// A prepared statement, reset and cleared for its next use when the Use ends.
class SqliteStatement
{
public:
    SqliteStatement(sqlite3 *database, std::string_view sql);

    class Use
    {
    public:
        explicit Use(SqliteStatement &statement) : statement_(statement.handle_.get()) {}
        ~Use();
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;

        Use &bind(int index, std::string_view text);
        Use &bind(int index, std::int64_t value);
        // Binds $1, $2, ... in turn; throws SqliteError when the statement has others.
        Use &bind(SqlParameters parameters);
        // The next row; false at the end. Throws SqliteError.
        bool step();
        std::int64_t integer(int column) const;
        std::string_view text(int column) const;

    private:
        sqlite3_stmt *statement_;
    };

private:
    struct Finalize {
        void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
    };
    std::unique_ptr<sqlite3_stmt, Finalize> handle_;
};

// One connection to a database file, in WAL mode, migrated to the schema this program knows.
// Used by one thread at a time.
class SqliteConnection final : public SqlConnection
{
public:
    enum class Durability { Full, Normal };

    // Opens (creating the file, not its folder) and migrates; throws SqliteError with a
    // sentence for the operator when it cannot.
    SqliteConnection(const std::filesystem::path &path, Durability durability = Durability::Full);

    Kind kind() const override { return Kind::Sqlite; }
    using SqlConnection::change;
    using SqlConnection::query;
    std::unique_ptr<SqlRows> query(std::string_view sql, SqlParameters parameters) override;
    std::int64_t change(std::string_view sql, SqlParameters parameters) override;
    void execute(std::string_view sql) override;
    void begin() override { execute("BEGIN IMMEDIATE"); }
    void announceChange(const LabelChanges &) override {}

    // A statement prepared once and kept for the connection's life.
    SqliteStatement &statement(std::string_view sql);

    // False once the file opened is no longer at its path (removed or replaced): writes would
    // go to a file that nobody will open again.
    bool stillAtPath() const;
    const std::filesystem::path &path() const { return path_; }

private:
    void migrate();

    struct Close {
        void operator()(sqlite3 *database) const { sqlite3_close_v2(database); }
    };
    std::filesystem::path path_;
    std::unique_ptr<sqlite3, Close> handle_;
    std::map<std::string, SqliteStatement, std::less<>> statements_;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
};

// Throws SqliteError naming what failed when code is not SQLITE_OK, SQLITE_ROW or SQLITE_DONE.
void checkSqlite(sqlite3 *database, int code, std::string_view what);

}  // namespace zuno::service
