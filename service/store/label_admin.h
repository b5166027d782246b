// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "label_rules.h"
#include "sqlite_connection.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace zuno::service {

// The operator's commands on a label database; each records what it did in the audit table.
// Numbers are E.164 ("+8613800138000"). Throws SqliteError when the database fails and
// std::runtime_error for an import file it refuses (nothing is imported then).
class LabelAdmin
{
public:
    LabelAdmin(const std::filesystem::path &database, LabelRules rules);

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

    SqliteConnection connection_;
    LabelRules rules_;
};

// The source imported rows are shown with when their own is empty.
inline constexpr std::string_view kImportedSource = "来自导入名单";
// The source export writes for the community's labels.
inline constexpr std::string_view kCommunitySource = "community";

}  // namespace zuno::service
