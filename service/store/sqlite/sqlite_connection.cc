// SPDX-License-Identifier: Apache-2.0
#include "store/sqlite/sqlite_connection.h"

#include "store/migrations.h"

#include <sys/stat.h>

namespace zuno::service {
namespace {

// How long a write waits for another connection's lock before it fails.
constexpr int kBusyMilliseconds = 1000;

// A statement's rows, read as SQLite steps through them.
class SqliteRows final : public SqlRows
{
public:
    SqliteRows(SqliteStatement &statement, SqlParameters parameters) : use_(statement)
    {
        use_.bind(parameters);
    }
    bool next() override { return use_.step(); }
    std::string_view text(int column) const override { return use_.text(column); }
    std::int64_t integer(int column) const override { return use_.integer(column); }

private:
    SqliteStatement::Use use_;
};

}  // namespace

void checkSqlite(sqlite3 *database, int code, std::string_view what)
{
    if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE)
        return;
    const char *message = database ? sqlite3_errmsg(database) : sqlite3_errstr(code);
    throw SqliteError(std::string(what) + ": " + message, code);
}

SqliteStatement::SqliteStatement(sqlite3 *database, std::string_view sql)
{
    sqlite3_stmt *statement = nullptr;
    const int code = sqlite3_prepare_v3(database, sql.data(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    handle_.reset(statement);
    checkSqlite(database, code, "cannot prepare a statement");
}

SqliteStatement::Use::~Use()
{
    // The statement's error, if any, was thrown by step(); resetting repeats it.
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

SqliteStatement::Use &SqliteStatement::Use::bind(int index, std::string_view text)
{
    checkSqlite(sqlite3_db_handle(statement_),
                sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                  SQLITE_TRANSIENT),
                "cannot bind a value");
    return *this;
}

SqliteStatement::Use &SqliteStatement::Use::bind(int index, std::int64_t value)
{
    checkSqlite(sqlite3_db_handle(statement_), sqlite3_bind_int64(statement_, index, value),
                "cannot bind a value");
    return *this;
}

SqliteStatement::Use &SqliteStatement::Use::bind(SqlParameters parameters)
{
    if (sqlite3_bind_parameter_count(statement_) != static_cast<int>(parameters.size()))
        throw SqliteError("a statement was given " + std::to_string(parameters.size()) +
                              " parameters for its " +
                              std::to_string(sqlite3_bind_parameter_count(statement_)),
                          SQLITE_RANGE);
    int number = 0;
    for (const SqlParameter &parameter : parameters) {
        const std::string name = "$" + std::to_string(++number);
        const int index = sqlite3_bind_parameter_index(statement_, name.c_str());
        if (index == 0)
            throw SqliteError("a statement has no parameter " + name, SQLITE_RANGE);
        if (const auto *value = std::get_if<std::int64_t>(&parameter))
            bind(index, *value);
        else
            bind(index, std::get<std::string_view>(parameter));
    }
    return *this;
}

bool SqliteStatement::Use::step()
{
    const int code = sqlite3_step(statement_);
    checkSqlite(sqlite3_db_handle(statement_), code, "the database failed");
    return code == SQLITE_ROW;
}

std::int64_t SqliteStatement::Use::integer(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

std::string_view SqliteStatement::Use::text(int column) const
{
    const auto *bytes = sqlite3_column_text(statement_, column);
    return bytes ? std::string_view(reinterpret_cast<const char *>(bytes),
                                    static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string_view();
}

SqliteConnection::SqliteConnection(const std::filesystem::path &path, Durability durability)
    : path_(path)
{
    sqlite3 *database = nullptr;
    const int code =
        sqlite3_open_v2(path.c_str(), &database,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    handle_.reset(database);
    if (code != SQLITE_OK)
        throw SqliteError("cannot open the label database \"" + path.string() +
                              "\": " + (database ? sqlite3_errmsg(database) : sqlite3_errstr(code)),
                          code);
    try {
        checkSqlite(database, sqlite3_extended_result_codes(database, 1), "setting up");
        checkSqlite(database, sqlite3_busy_timeout(database, kBusyMilliseconds), "setting up");
        if (sqlite3_db_readonly(database, "main") == 1)
            throw SqliteError("the file is read-only", SQLITE_READONLY);
        // Reads the header: a file that is no database fails here, before anything is written.
        execute("PRAGMA journal_mode=WAL");
        execute(durability == Durability::Full ? "PRAGMA synchronous=FULL"
                                               : "PRAGMA synchronous=NORMAL");
        execute("PRAGMA foreign_keys=ON");
        migrate();
    } catch (const SqliteError &error) {
        throw SqliteError("cannot use the label database \"" + path.string() +
                              "\": " + error.what(),
                          error.code());
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        device_ = status.st_dev;
        inode_ = status.st_ino;
    }
}

void SqliteConnection::execute(std::string_view sql)
{
    char *message = nullptr;
    const int code =
        sqlite3_exec(handle_.get(), std::string(sql).c_str(), nullptr, nullptr, &message);
    const std::string text = message ? message : sqlite3_errstr(code);
    sqlite3_free(message);
    if (code != SQLITE_OK)
        throw SqliteError(text, code);
}

std::unique_ptr<SqlRows> SqliteConnection::query(std::string_view sql, SqlParameters parameters)
{
    return std::make_unique<SqliteRows>(statement(sql), parameters);
}

std::int64_t SqliteConnection::change(std::string_view sql, SqlParameters parameters)
{
    SqliteStatement::Use use(statement(sql));
    use.bind(parameters);
    while (use.step()) {}
    return sqlite3_changes64(handle_.get());
}

SqliteStatement &SqliteConnection::statement(std::string_view sql)
{
    auto found = statements_.find(sql);
    if (found == statements_.end())
        found = statements_.try_emplace(std::string(sql), handle_.get(), sql).first;
    return found->second;
}

bool SqliteConnection::stillAtPath() const
{
    struct stat status {};
    return ::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ &&
        status.st_ino == inode_;
}

void SqliteConnection::migrate()
{
    SqlTransaction transaction(*this);
    if (const auto newer = migrateSchema(*this))
        throw SqliteError(newerSchemaMessage(*newer), SQLITE_ERROR);
    transaction.commit();
}

}  // namespace zuno::service
