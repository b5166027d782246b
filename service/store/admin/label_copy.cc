// SPDX-License-Identifier: Apache-2.0
#include "store/admin/label_copy.h"

#include "store/admin/label_admin.h"
#include "store/postgres/pg_store.h"
#include "store/reporter_secret.h"
#include "store/sqlite/sqlite_connection.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace zuno::service {
namespace {

// Rows a statement inserts: one round trip for each so many rows, not one for each row.
constexpr size_t kRowsAStatement = 200;

// A table to copy: its columns, read as text or integer as `types` says ("tti": two texts,
// an integer), and what the insert does with a row the target already has.
struct Table {
    std::string_view name;
    std::string_view columns;
    std::string_view types;
    std::string_view onConflict = {};
};

// Copies every row of the table; how many.
std::int64_t copyTable(SqlConnection &from, SqlConnection &to, const Table &table)
{
    const size_t width = table.types.size();
    std::vector<std::string> texts;
    // Reserved whole: the values view the texts, which must not move.
    texts.reserve(kRowsAStatement * width);
    std::vector<SqlParameter> values;
    const auto insert = [&] {
        if (values.empty())
            return;
        std::string sql = "INSERT INTO " + std::string(table.name) + " (" +
            std::string(table.columns) + ") VALUES ";
        for (size_t value = 0; value < values.size(); ++value)
            sql += (value % width == 0 ? (value == 0 ? "($" : "), ($") : ", $") +
                std::to_string(value + 1);
        sql += ")" + std::string(table.onConflict);
        to.change(sql, values);
        values.clear();
        texts.clear();
    };
    std::int64_t rows = 0;
    const auto read =
        from.query("SELECT " + std::string(table.columns) + " FROM " + std::string(table.name));
    while (read->next()) {
        for (size_t column = 0; column < width; ++column)
            if (table.types[column] == 'i') {
                values.emplace_back(read->integer(static_cast<int>(column)));
            } else {
                texts.emplace_back(read->text(static_cast<int>(column)));
                values.emplace_back(std::string_view(texts.back()));
            }
        if (++rows % kRowsAStatement == 0)
            insert();
    }
    insert();
    return rows;
}

std::int64_t countOf(SqlConnection &connection, std::string_view sql)
{
    const auto read = connection.query(sql);
    return read->next() ? read->integer(0) : 0;
}

}  // namespace

CopiedLabels copyLabels(const std::filesystem::path &from, const std::string &toUri,
                        std::int64_t now)
{
    std::error_code missing;
    if (!std::filesystem::is_regular_file(from, missing))
        throw std::runtime_error("there is no SQLite file \"" + from.string() + "\" to copy from");
    SqliteConnection source(from);
    const std::filesystem::path keyPath = secretPathOf(from);
    std::string key;
    if (std::filesystem::exists(keyPath, missing))
        key = reporterSecret(keyPath);
    const auto target = openLabelDatabase(toUri);

    // Taken for writing: a service still running on the file waits (and answers 503) rather
    // than acknowledge a report the copy would miss.
    SqlTransaction reading(source);
    SqlTransaction writing(*target);
    const std::int64_t held =
        countOf(*target,
                "SELECT (SELECT count(*) FROM reports) + (SELECT count(*) FROM "
                "place_reports) + (SELECT count(*) FROM imported_labels)");
    if (held > 0)
        throw std::runtime_error("the target already holds " + std::to_string(held) +
                                 " reports, places or imported labels: labels copy only fills "
                                 "an empty database, and copied nothing");
    CopiedLabels copied;
    copied.reports =
        copyTable(source, *target,
                  {"reports", "number, network, category, comment, reported_at, day", "ttttii"});
    copied.places = copyTable(
        source, *target, {"place_reports", "block, network, place, reported_at, day", "tttii"});
    // Today's counts keep a network's daily limit across the move.
    copyTable(source, *target,
              {"daily_reports", "network, day, reports", "tii",
               " ON CONFLICT (network, day) DO UPDATE SET "
               "reports = daily_reports.reports + excluded.reports"});
    copied.imported = copyTable(
        source, *target,
        {"imported_labels", "number, category, reporters, last_reported, source", "ttitt"});
    copied.auditRows = copyTable(source, *target, {"audit", "at, action, detail", "itt"});
    if (!key.empty()) {
        target->change("UPDATE reporter_key SET secret = $1 WHERE id = 1", {reporterKeyText(key)});
        copied.reporterKey = true;
    }
    target->change("INSERT INTO audit (at, action, detail) VALUES ($1, $2, $3)",
                   {now, "copy",
                    "from " + from.string() + ": " + std::to_string(copied.reports) + " reports, " +
                        std::to_string(copied.places) + " places, " +
                        std::to_string(copied.imported) + " imported labels, " +
                        std::to_string(copied.auditRows) + " audit rows" +
                        (copied.reporterKey ? ", the reporters' key" : "")});
    target->announceChange();
    writing.commit();
    return copied;
}

}  // namespace zuno::service
