// SPDX-License-Identifier: Apache-2.0
#include "app/labels_command.h"

#include "http/query.h"
#include "number/number_lookup.h"
#include "store/admin/label_admin.h"
#include "store/admin/label_copy.h"
#include "store/migrations.h"
#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace zuno::service {
namespace {

constexpr std::string_view kDatabaseName = "labels.sqlite3";
constexpr std::string_view kInstalledStateDirectory = "/var/lib/zuno-lookupd";

std::int64_t unixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The E.164 form of a number that can carry a label; empty for anything else.
std::string fullNumber(const NumberLookup &lookup, const std::string &text)
{
    const LookupOutcome outcome = lookup.lookup(decodeTitle(text));
    return outcome.valid() ? outcome.e164 : std::string();
}

}  // namespace

std::optional<std::filesystem::path> defaultDatabase()
{
    if (const char *state = std::getenv("STATE_DIRECTORY"); state && *state) {
        const std::string_view folders(state);
        return std::filesystem::path(std::string(folders.substr(0, folders.find(':')))) /
            kDatabaseName;
    }
    std::error_code error;
    if (std::filesystem::is_directory(kInstalledStateDirectory, error))
        return std::filesystem::path(kInstalledStateDirectory) / kDatabaseName;
    return std::nullopt;
}

namespace {

// labels places export | labels places clear BLOCK: the community's places of number blocks.
int runPlacesCommand(const CommandLine &line)
{
    const auto &words = line.labelsCommand;
    const std::string command = words.size() > 1 ? words[1] : std::string();
    if ((command != "export" || words.size() != 2) && (command != "clear" || words.size() != 3))
        throw UsageError("labels places needs a command: export, or clear BLOCK (7 digits)");
    if (line.before)
        throw UsageError("--before goes with labels clear");
    if (command == "clear" &&
        (words[2].size() != 7 || words[2][0] != '1' ||
         !std::all_of(words[2].begin(), words[2].end(),
                      [](char c) { return c >= '0' && c <= '9'; })))
        throw UsageError("\"" + words[2] + "\" is not a mobile block: give its 7 digits, 1991234");
    const auto database = line.database ? line.database : defaultDatabase();
    if (!database)
        throw UsageError("no --database given and no state directory to find one in");
    LabelAdmin admin(database->string(), LabelRules{line.labelMinReporters, line.labelWindowDays});
    if (command == "export")
        admin.exportPlacesCsv(std::cout, unixNow());
    else
        std::cout << "removed " << admin.clearPlaces(words[2], unixNow()) << " places of block "
                  << words[2] << "\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

// Brings the database to the schema this program knows, as the service does at start.
int runMigrateCommand(const CommandLine &line)
{
    if (line.labelsCommand.size() != 1)
        throw UsageError("labels migrate takes no operand");
    const auto database = line.database ? line.database : defaultDatabase();
    if (!database)
        throw UsageError("no --database given and no state directory to find one in");
    if (isPostgresUri(database->string())) {
        try {
            PgConnection connection(database->string());
            preparePgDatabase(connection);
        } catch (const PgError &error) {
            throw std::runtime_error(std::string("cannot migrate the label database: ") +
                                     error.what());
        }
    } else {
        const SqliteConnection connection(*database);
    }
    std::cout << "the label database is at schema version " << migrations().size() << "\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

// Moves an SQLite file's labels into an empty PostgreSQL database.
int runCopyCommand(const CommandLine &line)
{
    if (line.labelsCommand.size() != 1 || !line.copyFrom || !line.copyTo)
        throw UsageError("labels copy takes --from SQLITE-FILE --to postgresql://…");
    if (line.database || line.before)
        throw UsageError("labels copy takes --from and --to, no other database");
    if (isPostgresUri(*line.copyFrom))
        throw UsageError("labels copy moves an SQLite file: --from names the file");
    // Another SQLite file is a copy of the file and its .key (sqlite3's .backup).
    if (!isPostgresUri(*line.copyTo))
        throw UsageError("labels copy fills a PostgreSQL database: --to takes a postgresql:// URI");
    const CopiedLabels copied = copyLabels(*line.copyFrom, *line.copyTo, unixNow());
    std::cout << "copied " << copied.reports << " reports, " << copied.places << " places, "
              << copied.imported << " imported labels and " << copied.auditRows
              << " audit rows from " << *line.copyFrom << "\n"
              << (copied.reporterKey
                      ? "and the reporters' key: start or restart the instances on the database "
                        "now, so that they take it\n"
                      : "no reporters' key beside the file: the database keeps its own\n");
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace

int runLabelsCommand(const CommandLine &line)
{
    const auto &words = line.labelsCommand;
    const std::string command = words.empty() ? std::string() : words[0];
    if ((line.copyFrom || line.copyTo) && command != "copy")
        throw UsageError("--from and --to go with labels copy");
    if (command == "copy")
        return runCopyCommand(line);
    if (command == "places")
        return runPlacesCommand(line);
    if (command == "migrate")
        return runMigrateCommand(line);
    const size_t operands = command == "show" || command == "clear" || command == "import" ? 2 : 1;
    if (command.empty() ||
        (command != "show" && command != "clear" && command != "export" && command != "import"))
        throw UsageError("labels needs a command: show NUMBER, clear NUMBER [--before DATE], "
                         "export, import FILE, places export, places clear BLOCK, migrate or copy");
    if (words.size() != operands)
        throw UsageError("labels " + command +
                         (operands == 2 ? " takes one operand" : " takes no operand"));
    if (line.before && command != "clear")
        throw UsageError("--before goes with labels clear");
    std::optional<Day> before;
    if (line.before) {
        before = parseDay(*line.before);
        if (!before)
            throw UsageError("bad --before \"" + *line.before +
                             "\": give a date such as 2026-12-07");
    }
    const auto database = line.database ? line.database : defaultDatabase();
    if (!database)
        throw UsageError("no --database given and no state directory to find one in");

    const LabelRules rules{line.labelMinReporters, line.labelWindowDays};
    const NumberLookup lookup;
    const auto numberOperand = [&] {
        const std::string e164 = fullNumber(lookup, words[1]);
        if (e164.empty())
            throw UsageError("\"" + words[1] + "\" is not a full Chinese number");
        return e164;
    };
    if (command == "show") {
        const std::string number = numberOperand();
        LabelAdmin admin(database->string(), rules);
        std::cout << admin.show(number, unixNow());
    } else if (command == "clear") {
        const std::string number = numberOperand();
        LabelAdmin admin(database->string(), rules);
        std::cout << "removed " << admin.clear(number, before, unixNow()) << " reports of "
                  << number << "\n";
    } else if (command == "export") {
        LabelAdmin admin(database->string(), rules);
        admin.exportCsv(std::cout, unixNow());
    } else {
        std::ifstream file(words[1], std::ios::binary);
        if (!file)
            throw std::runtime_error("cannot read \"" + words[1] + "\"");
        LabelAdmin admin(database->string(), rules);
        const auto rows = admin.importCsv(
            file, words[1], [&](const std::string &text) { return fullNumber(lookup, text); },
            unixNow());
        std::cout << "imported " << rows << " labels from " << words[1] << "\n";
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace zuno::service
