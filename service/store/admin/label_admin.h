// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_rules.h"
#include "store/sql_connection.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

namespace zuno::service {

// Opens an SQLite file, or a PostgreSQL server for a postgresql:// URI, migrated to the schema
// this program knows (on PostgreSQL under the instances' lock, with the reporters' key made).
// Throws the database's error, one sentence for the operator.
std::unique_ptr<SqlConnection> openLabelDatabase(const std::string &database);

// The operator's commands on a label database, the same on both stores; each records what it
// did in the audit table, and those that change labels tell running instances (which take the
// change within a second). Numbers are E.164 ("+8613800138000"). Throws the database's error
// when it fails and std::runtime_error for an import file it refuses (nothing is imported then).
class LabelAdmin
{
public:
    LabelAdmin(const std::string &database, LabelRules rules);

    // The number's label, its recent reports by category and any imported label, as lines.
    std::string show(const std::string &number, std::int64_t now);
    // Removes the number's reports (those before `before` only, when given); how many.
    std::int64_t clear(const std::string &number, std::optional<Day> before, std::int64_t now);
    // Every label, community and imported, as CSV with the header
    // number,category,reporters,last_reported,source.
    void exportCsv(std::ostream &out, std::int64_t now);
    // Imported labels from CSV with that header, replacing those of the same numbers; how many.
    // numberOf turns a number as written into E.164, or empty when it is not one.
    std::int64_t importCsv(std::istream &in, const std::string &file,
                           const std::function<std::string(const std::string &)> &numberOf,
                           std::int64_t now);

    // Every block with recent place reports, as CSV with the header
    // block,location,agreeing,networks,last_reported: the place agreed on (empty: none), how many
    // networks gave it, how many gave any.
    void exportPlacesCsv(std::ostream &out, std::int64_t now);
    // Removes every network's place for the block ("1991234"); how many.
    std::int64_t clearPlaces(const std::string &block, std::int64_t now);

private:
    void audit(std::string_view action, const std::string &detail, std::int64_t now);

    std::unique_ptr<SqlConnection> connection_;
    LabelRules rules_;
};

// The source imported rows are shown with when their own is empty.
inline constexpr std::string_view kImportedSource = "来自导入名单";
// The source export writes for the community's labels.
inline constexpr std::string_view kCommunitySource = "community";

}  // namespace zuno::service
