// SPDX-License-Identifier: Apache-2.0
#include "store/admin/label_admin.h"

#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_connection.h"
#include "text/csv_cell.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <istream>
#include <limits>
#include <map>
#include <ostream>
#include <stdexcept>
#include <vector>

namespace zuno::service {
namespace {

constexpr std::string_view kCsvHeader = "number,category,reporters,last_reported,source";

// The code point at the front of `text` in strict UTF-8 (no overlong forms, surrogates or values
// past U+10FFFF), its length taken off `text`; nothing when the bytes are not UTF-8.
std::optional<char32_t> takeCodePoint(std::string_view &text)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        length = 1;
        c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() < length)
        return std::nullopt;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (byte(i) & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    text.remove_prefix(length);
    return c;
}

// Why an imported source cannot be kept, if it cannot: what a terminal, a CSV reader or the
// window's reply would act on or show turned around, rather than print.
std::optional<std::string_view> sourceProblem(std::string_view source)
{
    while (!source.empty()) {
        const auto c = takeCodePoint(source);
        if (!c)
            return "the source is not UTF-8";
        if (*c < 0x20 || (*c >= 0x7F && *c <= 0x9F) || *c == 0x2028 || *c == 0x2029)
            return "the source holds a control character (a line break, tab, escape or the like)";
        if ((*c >= 0x202A && *c <= 0x202E) || (*c >= 0x2066 && *c <= 0x2069))
            return "the source holds a direction override or isolate";
    }
    return std::nullopt;
}

// The fields of one CSV line (RFC 4180 quoting within the line); nothing when malformed.
std::optional<std::vector<std::string>> csvFields(std::string_view line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"' && fields.back().empty()) {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (quoted)
        return std::nullopt;
    return fields;
}

}  // namespace

std::unique_ptr<SqlConnection> openLabelDatabase(const std::string &database)
{
    if (!isPostgresUri(database))
        return std::make_unique<SqliteConnection>(database);
    try {
        auto connection = std::make_unique<PgConnection>(database);
        preparePgDatabase(*connection);
        return connection;
    } catch (const PgError &error) {
        throw PgError(std::string("cannot use the label database: ") + error.what(), error.lost());
    }
}

LabelAdmin::LabelAdmin(const std::string &database, LabelRules rules)
    : connection_(openLabelDatabase(database)), rules_(rules)
{}

void LabelAdmin::audit(std::string_view action, const std::string &detail, std::int64_t now)
{
    connection_->change("INSERT INTO audit (at, action, detail) VALUES ($1, $2, $3)",
                        {now, action, detail});
}

std::string LabelAdmin::show(const std::string &number, std::int64_t now)
{
    const Day today = chinaDay(now);
    std::vector<ReportFact> facts;
    std::array<unsigned, kCategoryCount> counts{};
    {
        const auto read =
            connection_->query("SELECT category, day FROM reports WHERE number = $1", {number});
        while (read->next())
            if (const auto category = categoryNamed(read->text(0))) {
                const Day day = static_cast<Day>(read->integer(1));
                facts.push_back({*category, day});
                if (today - day >= 0 && today - day < static_cast<Day>(rules_.windowDays))
                    ++counts[static_cast<size_t>(*category)];
            }
    }
    std::string text = number + "\n";
    if (const auto label = labelOf(facts, today, rules_))
        text += "label: " +
            std::string(label->contested
                            ? "有争议 (" + std::string(categoryName(label->category)) + ")"
                            : std::string(categoryName(label->category))) +
            ", " + std::to_string(label->reporters) + " networks, last " +
            formatDay(label->lastReported) + "\n";
    else
        text += "label: none\n";
    text += "reports: " + std::to_string(facts.size()) + " in all\n";
    for (size_t i = 0; i < kCategoryCount; ++i)
        if (counts[i] > 0)
            text += "  " + std::string(kCategoryNames[i]) + " " + std::to_string(counts[i]) + "\n";
    {
        const auto imported =
            connection_->query("SELECT category, reporters, last_reported, source FROM "
                               "imported_labels WHERE number = $1",
                               {number});
        if (imported->next())
            text += "imported: " + std::string(imported->text(0)) + ", " +
                std::to_string(imported->integer(1)) + " reporters, last " +
                std::string(imported->text(2)) + ", " + std::string(imported->text(3)) + "\n";
    }
    SqlTransaction transaction(*connection_);
    audit("show", number, now);
    transaction.commit();
    return text;
}

std::int64_t LabelAdmin::clear(const std::string &number, std::optional<Day> before,
                               std::int64_t now)
{
    SqlTransaction transaction(*connection_);
    const std::int64_t removed = before
        ? connection_->change("DELETE FROM reports WHERE number = $1 AND day < $2",
                              {number, std::int64_t{*before}})
        : connection_->change("DELETE FROM reports WHERE number = $1", {number});
    audit("clear",
          number + (before ? " before " + formatDay(*before) : std::string()) + ": " +
              std::to_string(removed) + " reports",
          now);
    connection_->announceChange();
    transaction.commit();
    return removed;
}

void LabelAdmin::exportCsv(std::ostream &out, std::int64_t now)
{
    const Day today = chinaDay(now);
    std::map<std::string, std::vector<ReportFact>> reports;
    {
        const auto read =
            connection_->query("SELECT number, category, day FROM reports WHERE day > $1",
                               {std::int64_t{today} - rules_.windowDays});
        while (read->next())
            if (const auto category = categoryNamed(read->text(1)))
                reports[std::string(read->text(0))].push_back(
                    {*category, static_cast<Day>(read->integer(2))});
    }
    out << kCsvHeader << "\n";
    std::int64_t rows = 0;
    for (const auto &[number, facts] : reports)
        if (const auto label = labelOf(facts, today, rules_)) {
            out << csvCell(number, CsvOrigin::Own) << ','
                << (label->contested ? "有争议" : categoryName(label->category)) << ','
                << label->reporters << ',' << formatDay(label->lastReported) << ','
                << kCommunitySource << "\n";
            ++rows;
        }
    {
        const auto imported = connection_->query(
            "SELECT number, category, reporters, last_reported, source FROM imported_labels "
            "ORDER BY number");
        while (imported->next()) {
            out << csvCell(imported->text(0), CsvOrigin::Own) << ','
                << csvCell(imported->text(1), CsvOrigin::Outside) << ',' << imported->integer(2)
                << ',' << csvCell(imported->text(3), CsvOrigin::Outside) << ','
                << csvCell(imported->text(4), CsvOrigin::Outside) << "\n";
            ++rows;
        }
    }
    SqlTransaction transaction(*connection_);
    audit("export", std::to_string(rows) + " rows", now);
    transaction.commit();
}

void LabelAdmin::exportPlacesCsv(std::ostream &out, std::int64_t now)
{
    const Day today = chinaDay(now);
    std::map<std::string, std::vector<std::pair<std::string, Day>>> reports;
    {
        const auto read = connection_->query(
            "SELECT block, place, day FROM place_reports WHERE day > $1 AND day <= $2",
            {std::int64_t{today} - rules_.windowDays, std::int64_t{today}});
        while (read->next())
            reports[std::string(read->text(0))].emplace_back(std::string(read->text(1)),
                                                             static_cast<Day>(read->integer(2)));
    }
    out << "block,location,agreeing,networks,last_reported\n";
    for (const auto &[block, given] : reports) {
        std::vector<PlaceFact> facts;
        Day last = 0;
        for (const auto &[place, day] : given) {
            facts.push_back({place, day});
            last = std::max(last, day);
        }
        const auto agreed = agreedPlace(facts, today, rules_);
        const auto agreeing = agreed
            ? std::count_if(given.begin(), given.end(),
                            [&](const auto &report) { return report.first == *agreed; })
            : 0;
        out << csvCell(block, CsvOrigin::Own) << ','
            << csvCell(agreed.value_or(""), CsvOrigin::Outside) << ',' << agreeing << ','
            << given.size() << ',' << formatDay(last) << "\n";
    }
    SqlTransaction transaction(*connection_);
    audit("places export", std::to_string(reports.size()) + " blocks", now);
    transaction.commit();
}

std::int64_t LabelAdmin::clearPlaces(const std::string &block, std::int64_t now)
{
    SqlTransaction transaction(*connection_);
    const std::int64_t removed =
        connection_->change("DELETE FROM place_reports WHERE block = $1", {block});
    audit("places clear", block + ": " + std::to_string(removed) + " places", now);
    connection_->announceChange();
    transaction.commit();
    return removed;
}

std::int64_t LabelAdmin::importCsv(std::istream &in, const std::string &file,
                                   const std::function<std::string(const std::string &)> &numberOf,
                                   std::int64_t now)
{
    std::string line;
    if (!std::getline(in, line) ||
        (line.ends_with('\r') ? line.substr(0, line.size() - 1) : line) != kCsvHeader)
        throw std::runtime_error(file + ": the first line must be \"" + std::string(kCsvHeader) +
                                 "\"");
    SqlTransaction transaction(*connection_);
    std::int64_t rows = 0;
    for (size_t number = 2; std::getline(in, line); ++number) {
        if (line.ends_with('\r'))
            line.pop_back();
        if (line.empty())
            continue;
        const auto bad = [&](std::string_view why) {
            return std::runtime_error(file + ":" + std::to_string(number) + ": " +
                                      std::string(why) + "; nothing was imported");
        };
        const auto fields = csvFields(line);
        if (!fields || fields->size() != 5)
            throw bad("expected 5 fields");
        const std::string e164 = numberOf((*fields)[0]);
        if (e164.empty())
            throw bad("not a full Chinese number: \"" + (*fields)[0] + "\"");
        if (!categoryNamed((*fields)[1]) || (*fields)[1] == "正常来电")
            throw bad("not a category that labels a caller: \"" + (*fields)[1] + "\"");
        // PostgreSQL's INTEGER column bounds the count, so both stores take the same lists.
        std::int32_t reporters = 0;
        const std::string &count = (*fields)[2];
        const auto [end, error] =
            std::from_chars(count.data(), count.data() + count.size(), reporters);
        if (count.empty() || error != std::errc() || end != count.data() + count.size() ||
            reporters < 0)
            throw bad("reporters must be a number from 0 to " +
                      std::to_string(std::numeric_limits<std::int32_t>::max()));
        const auto day = parseDay((*fields)[3]);
        if (!day)
            throw bad("last_reported must be a date such as 2026-12-07");
        // A day ahead allows for a list made where the date has already turned.
        if (*day > chinaDay(now) + 1)
            throw bad("last_reported " + (*fields)[3] + " is in the future");
        if (const auto problem = sourceProblem((*fields)[4]))
            throw bad(*problem);
        const std::string source =
            (*fields)[4].empty() ? std::string(kImportedSource) : (*fields)[4];
        connection_->change(
            "INSERT INTO imported_labels (number, category, reporters, last_reported, source) "
            "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (number) DO UPDATE SET "
            "category = excluded.category, reporters = excluded.reporters, "
            "last_reported = excluded.last_reported, source = excluded.source",
            {e164, (*fields)[1], std::int64_t{reporters}, (*fields)[3], source});
        ++rows;
    }
    audit("import", file + ": " + std::to_string(rows) + " rows", now);
    connection_->announceChange();
    transaction.commit();
    return rows;
}

}  // namespace zuno::service
