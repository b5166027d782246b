// SPDX-License-Identifier: Apache-2.0
#include "label_copy.h"

#include "label_admin.h"
#include "pg_store.h"
#include "reporter_secret.h"
#include "sqlite_connection.h"

#include <stdexcept>
#include <vector>

namespace zuno::service {
namespace {

// Copies every row of a query on `from` through an insert on `to` of its columns, read as
// text or integer as `types` says ("tti": two texts, an integer); how many.
std::int64_t copyRows(SqlConnection &from, SqlConnection &to, std::string_view select,
                      std::string_view insert, std::string_view types)
{
    std::int64_t rows = 0;
    std::vector<SqlParameter> values(types.size());
    const auto read = from.query(select);
    while (read->next()) {
        for (size_t column = 0; column < types.size(); ++column)
            if (types[column] == 'i')
                values[column] = read->integer(static_cast<int>(column));
            else
                values[column] = read->text(static_cast<int>(column));
        to.change(insert, values);
        ++rows;
    }
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
    copied.reports = copyRows(
        source, *target, "SELECT number, network, category, comment, reported_at, day FROM reports",
        "INSERT INTO reports (number, network, category, comment, reported_at, day) "
        "VALUES ($1, $2, $3, $4, $5, $6)",
        "ttttii");
    copied.places = copyRows(source, *target,
                             "SELECT block, network, place, reported_at, day FROM place_reports",
                             "INSERT INTO place_reports (block, network, place, reported_at, day) "
                             "VALUES ($1, $2, $3, $4, $5)",
                             "tttii");
    // Today's counts keep a network's daily limit across the move.
    copyRows(source, *target, "SELECT network, day, reports FROM daily_reports",
             "INSERT INTO daily_reports (network, day, reports) VALUES ($1, $2, $3) "
             "ON CONFLICT (network, day) DO UPDATE SET "
             "reports = daily_reports.reports + excluded.reports",
             "tii");
    copied.imported =
        copyRows(source, *target,
                 "SELECT number, category, reporters, last_reported, source FROM imported_labels",
                 "INSERT INTO imported_labels (number, category, reporters, last_reported, source) "
                 "VALUES ($1, $2, $3, $4, $5)",
                 "ttitt");
    copied.auditRows =
        copyRows(source, *target, "SELECT at, action, detail FROM audit",
                 "INSERT INTO audit (at, action, detail) VALUES ($1, $2, $3)", "itt");
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
