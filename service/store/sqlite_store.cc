// SPDX-License-Identifier: Apache-2.0
#include "sqlite_store.h"

#include "log_line.h"

#include <algorithm>
#include <charconv>
#include <chrono>

namespace zuno::service {
namespace {

// Reports that arrived together share one transaction, up to this many.
constexpr size_t kMostWritesABatch = 64;
// How often the thread looks whether the day changed (reports age out of the window) or
// another process (the labels commands) changed the database.
constexpr auto kIdleCheck = std::chrono::seconds(1);
constexpr std::chrono::seconds kRetryFailedDatabase{5};
constexpr std::int64_t kSecondsADay = 86400;
constexpr std::int64_t kChinaOffset = 8 * 3600;

std::optional<Category> storedCategory(std::string_view name) { return categoryNamed(name); }

}  // namespace

SqliteStore::SqliteStore(Options options)
    : options_(std::move(options)), connection_(options_.path, options_.durability)
{
    if (!options_.clock)
        options_.clock = [] {
            return static_cast<std::int64_t>(
                std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count());
        };
    rebuild();
    thread_ = std::thread([this] { run(); });
}

SqliteStore::~SqliteStore()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::int64_t SqliteStore::now() const { return options_.clock(); }

void SqliteStore::enqueue(Task task)
{
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SqliteStore::report(StoredReport report, std::function<void(WriteOutcome)> done)
{
    enqueue(Write{false, std::move(report), std::move(done), std::nullopt});
}

void SqliteStore::withdraw(std::string number, std::string network,
                           std::function<void(WriteOutcome)> done)
{
    StoredReport report;
    report.number = std::move(number);
    report.network = std::move(network);
    enqueue(Write{true, std::move(report), std::move(done), std::nullopt});
}

void SqliteStore::reportPlace(StoredPlace place, std::function<void(WriteOutcome)> done)
{
    enqueue(Write{false, {}, std::move(done), std::move(place)});
}

void SqliteStore::withdrawPlace(std::string block, std::string network,
                                std::function<void(WriteOutcome)> done)
{
    enqueue(
        Write{true, {}, std::move(done), StoredPlace{std::move(block), std::move(network), {}}});
}

void SqliteStore::details(std::string number, std::function<void(NumberDetails)> done)
{
    enqueue(Read{std::move(number), std::move(done)});
}

void SqliteStore::refresh(std::function<void()> done) { enqueue(Refresh{std::move(done)}); }

void SqliteStore::run()
{
    for (;;) {
        std::deque<Task> tasks;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kIdleCheck, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty() && stopping_)
                return;
            tasks.swap(tasks_);
        }
        try {
            if (chinaDay(now()) != builtFor_ || dataVersion() != builtVersion_)
                rebuild();
        } catch (const std::exception &error) {
            failed(error);
        }
        std::vector<Write> writes;
        for (Task &task : tasks) {
            if (auto *write = std::get_if<Write>(&task)) {
                writes.push_back(std::move(*write));
                if (writes.size() == kMostWritesABatch)
                    commitWrites(writes);
                continue;
            }
            commitWrites(writes);
            if (auto *read = std::get_if<Read>(&task)) {
                read->done(readDetails(read->number));
            } else if (auto *refresh = std::get_if<Refresh>(&task)) {
                try {
                    rebuild();
                } catch (const std::exception &error) {
                    failed(error);
                }
                refresh->done();
            }
        }
        commitWrites(writes);
    }
}

void SqliteStore::failed(const std::exception &error)
{
    if (!failing_)
        logLine(LogLevel::Error,
                std::string("label database: ") + error.what() +
                    "; reports are refused until it works again, lookups keep their labels");
    failing_ = true;
}

void SqliteStore::commitWrites(std::vector<Write> &writes)
{
    if (writes.empty())
        return;
    const std::int64_t at = now();
    std::vector<WriteOutcome> outcomes;
    std::vector<LabelSnapshot::Change> changes;
    try {
        if (!connection_.stillAtPath())
            throw SqliteError("the file \"" + connection_.path().string() +
                                  "\" was removed or replaced",
                              SQLITE_NOTFOUND);
        connection_.execute("BEGIN IMMEDIATE");
        try {
            for (const Write &write : writes)
                outcomes.push_back(apply(write, at));
            connection_.execute("COMMIT");
        } catch (...) {
            try {
                connection_.execute("ROLLBACK");
            } catch (const SqliteError &) {
                // Nothing was committed; a failed rollback leaves that so.
            }
            throw;
        }
        if (failing_)
            logLine(LogLevel::Info, "label database: works again, reports are taken");
        failing_ = false;
        const Day today = chinaDay(at);
        std::vector<std::string> touched;
        bool placesChanged = false;
        for (size_t i = 0; i < writes.size(); ++i)
            if (outcomes[i].result != WriteOutcome::Result::RateLimited &&
                outcomes[i].result != WriteOutcome::Result::NotFound) {
                if (writes[i].place)
                    placesChanged = true;
                else
                    touched.push_back(writes[i].report.number);
            }
        std::sort(touched.begin(), touched.end());
        touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
        for (const std::string &number : touched)
            if (const auto key = numberKey(number))
                changes.push_back({*key, entryOf(number, today)});
        if (!changes.empty() || placesChanged) {
            auto next = board_.shared()->with(changes);
            if (placesChanged)
                next = next->withPlaces(agreedPlaces(today));
            board_.publish(std::move(next));
        }
    } catch (const std::exception &error) {
        failed(error);
        outcomes.assign(writes.size(),
                        WriteOutcome{WriteOutcome::Result::Unavailable, {}, kRetryFailedDatabase});
        failedWrites_ += writes.size();
    }
    for (size_t i = 0; i < writes.size(); ++i)
        writes[i].done(std::move(outcomes[i]));
    writes.clear();
}

WriteOutcome SqliteStore::apply(const Write &write, std::int64_t at)
{
    if (write.place)
        return applyPlace(write, at);
    const StoredReport &report = write.report;
    if (write.withdraw) {
        SqliteStatement::Use remove(
            connection_.statement("DELETE FROM reports WHERE number = ?1 AND network = ?2"));
        remove.bind(1, report.number).bind(2, report.network).step();
        return {connection_.changes() > 0 ? WriteOutcome::Result::Withdrawn
                                          : WriteOutcome::Result::NotFound,
                {},
                {}};
    }
    const Day day = chinaDay(at);
    if (auto limited = overDailyLimit(report.network, at))
        return std::move(*limited);
    bool replaced = false;
    {
        SqliteStatement::Use earlier(
            connection_.statement("SELECT 1 FROM reports WHERE number = ?1 AND network = ?2"));
        replaced = earlier.bind(1, report.number).bind(2, report.network).step();
    }
    {
        SqliteStatement::Use store(connection_.statement(
            "INSERT INTO reports (number, network, category, comment, reported_at, day) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (number, network) DO UPDATE SET "
            "category = excluded.category, comment = excluded.comment, "
            "reported_at = excluded.reported_at, day = excluded.day"));
        store.bind(1, report.number)
            .bind(2, report.network)
            .bind(3, categoryName(report.category))
            .bind(4, report.comment)
            .bind(5, at)
            .bind(6, std::int64_t{day})
            .step();
    }
    StoredReport stored = report;
    stored.reportedAt = at;
    return {replaced ? WriteOutcome::Result::Replaced : WriteOutcome::Result::Created,
            std::move(stored),
            {}};
}

std::optional<WriteOutcome> SqliteStore::overDailyLimit(const std::string &network, std::int64_t at)
{
    const Day day = chinaDay(at);
    {
        SqliteStatement::Use count(connection_.statement(
            "SELECT reports FROM daily_reports WHERE network = ?1 AND day = ?2"));
        count.bind(1, network).bind(2, std::int64_t{day});
        if (count.step() && count.integer(0) >= kReportsADay) {
            const std::int64_t nextDay = (std::int64_t{day} + 1) * kSecondsADay - kChinaOffset;
            return WriteOutcome{
                WriteOutcome::Result::RateLimited, {}, std::chrono::seconds(nextDay - at)};
        }
    }
    SqliteStatement::Use counted(connection_.statement(
        "INSERT INTO daily_reports (network, day, reports) VALUES (?1, ?2, 1) "
        "ON CONFLICT (network, day) DO UPDATE SET reports = daily_reports.reports + 1"));
    counted.bind(1, network).bind(2, std::int64_t{day}).step();
    return std::nullopt;
}

WriteOutcome SqliteStore::applyPlace(const Write &write, std::int64_t at)
{
    const StoredPlace &place = *write.place;
    if (write.withdraw) {
        SqliteStatement::Use remove(
            connection_.statement("DELETE FROM place_reports WHERE block = ?1 AND network = ?2"));
        remove.bind(1, place.block).bind(2, place.network).step();
        return {connection_.changes() > 0 ? WriteOutcome::Result::Withdrawn
                                          : WriteOutcome::Result::NotFound,
                {},
                {}};
    }
    if (auto limited = overDailyLimit(place.network, at))
        return std::move(*limited);
    bool replaced = false;
    {
        SqliteStatement::Use earlier(
            connection_.statement("SELECT 1 FROM place_reports WHERE block = ?1 AND network = ?2"));
        replaced = earlier.bind(1, place.block).bind(2, place.network).step();
    }
    SqliteStatement::Use store(connection_.statement(
        "INSERT INTO place_reports (block, network, place, reported_at, day) "
        "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (block, network) DO UPDATE SET "
        "place = excluded.place, reported_at = excluded.reported_at, day = excluded.day"));
    store.bind(1, place.block)
        .bind(2, place.network)
        .bind(3, place.place)
        .bind(4, at)
        .bind(5, std::int64_t{chinaDay(at)})
        .step();
    return {replaced ? WriteOutcome::Result::Replaced : WriteOutcome::Result::Created, {}, {}};
}

std::shared_ptr<const BlockPlaces> SqliteStore::agreedPlaces(Day today)
{
    auto places = std::make_shared<BlockPlaces>();
    SqliteStatement::Use read(connection_.statement(
        "SELECT block, place, day FROM place_reports WHERE day > ?1 ORDER BY block"));
    read.bind(1, std::int64_t{today} - options_.rules.windowDays);
    std::string block;
    std::vector<std::string> texts;
    std::vector<Day> days;
    const auto settle = [&] {
        std::vector<PlaceFact> facts;
        for (size_t i = 0; i < texts.size(); ++i)
            facts.push_back({texts[i], days[i]});
        const auto agreed = agreedPlace(facts, today, options_.rules);
        BlockKey key = 0;
        const auto [end, error] = std::from_chars(block.data(), block.data() + block.size(), key);
        if (agreed && error == std::errc() && end == block.data() + block.size())
            places->emplace_back(key, std::string(*agreed));
        texts.clear();
        days.clear();
    };
    while (read.step()) {
        if (read.text(0) != block) {
            if (!texts.empty())
                settle();
            block = std::string(read.text(0));
        }
        texts.emplace_back(read.text(1));
        days.push_back(static_cast<Day>(read.integer(2)));
    }
    if (!texts.empty())
        settle();
    std::sort(places->begin(), places->end());
    return places;
}

std::optional<LabelSnapshot::Entry> SqliteStore::entryOf(const std::string &number, Day today)
{
    std::vector<ReportFact> facts;
    {
        SqliteStatement::Use read(
            connection_.statement("SELECT category, day FROM reports WHERE number = ?1"));
        read.bind(1, number);
        while (read.step())
            if (const auto category = storedCategory(read.text(0)))
                facts.push_back({*category, static_cast<Day>(read.integer(1))});
    }
    if (const auto label = labelOf(facts, today, options_.rules))
        return LabelSnapshot::Entry{label->lastReported, label->reporters, label->category,
                                    label->contested, 0};
    // Without a community label, an imported one shows, if its source is known to the snapshot.
    SqliteStatement::Use imported(
        connection_.statement("SELECT category, reporters, last_reported, source FROM "
                              "imported_labels WHERE number = ?1"));
    imported.bind(1, number);
    if (!imported.step())
        return std::nullopt;
    const auto category = storedCategory(imported.text(0));
    const auto day = parseDay(imported.text(2));
    const auto &sources = board_.shared()->sources();
    const auto source = std::find(sources.begin(), sources.end(), imported.text(3));
    if (!category || !day || source == sources.end())
        return std::nullopt;
    return LabelSnapshot::Entry{*day, static_cast<std::uint32_t>(imported.integer(1)), *category,
                                false, static_cast<std::uint16_t>(source - sources.begin() + 1)};
}

void SqliteStore::rebuild()
{
    const Day today = chinaDay(now());
    struct Row {
        NumberKey number;
        ReportFact fact;
    };
    std::vector<Row> rows;
    {
        SqliteStatement::Use read(
            connection_.statement("SELECT number, category, day FROM reports WHERE day > ?1"));
        read.bind(1, std::int64_t{today} - options_.rules.windowDays);
        while (read.step()) {
            const auto number = numberKey(read.text(0));
            const auto category = storedCategory(read.text(1));
            if (number && category)
                rows.push_back({*number, {*category, static_cast<Day>(read.integer(2))}});
        }
    }
    std::sort(rows.begin(), rows.end(),
              [](const Row &a, const Row &b) { return a.number < b.number; });
    std::vector<std::pair<NumberKey, LabelSnapshot::Entry>> labelled;
    std::vector<ReportFact> facts;
    for (size_t first = 0; first < rows.size();) {
        size_t end = first;
        facts.clear();
        for (; end < rows.size() && rows[end].number == rows[first].number; ++end)
            facts.push_back(rows[end].fact);
        if (const auto label = labelOf(facts, today, options_.rules))
            labelled.push_back(
                {rows[first].number,
                 {label->lastReported, label->reporters, label->category, label->contested, 0}});
        first = end;
    }
    rows = {};

    // Imported lists fill in numbers the community has not labelled.
    std::vector<std::string> sources;
    const size_t community = labelled.size();
    {
        SqliteStatement::Use read(connection_.statement(
            "SELECT number, category, reporters, last_reported, source FROM imported_labels"));
        while (read.step()) {
            const auto number = numberKey(read.text(0));
            const auto category = storedCategory(read.text(1));
            const auto day = parseDay(read.text(3));
            if (!number || !category || !day)
                continue;
            const auto known = std::lower_bound(
                labelled.begin(), labelled.begin() + static_cast<std::ptrdiff_t>(community),
                *number, [](const auto &entry, NumberKey key) { return entry.first < key; });
            if (known != labelled.begin() + static_cast<std::ptrdiff_t>(community) &&
                known->first == *number)
                continue;
            auto source = std::find(sources.begin(), sources.end(), read.text(4));
            if (source == sources.end()) {
                if (sources.size() == UINT16_MAX)
                    continue;
                sources.emplace_back(read.text(4));
                source = sources.end() - 1;
            }
            labelled.push_back({*number,
                                {*day, static_cast<std::uint32_t>(read.integer(2)), *category,
                                 false, static_cast<std::uint16_t>(source - sources.begin() + 1)}});
        }
    }
    std::sort(labelled.begin(), labelled.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<NumberKey> numbers;
    std::vector<LabelSnapshot::Entry> entries;
    numbers.reserve(labelled.size());
    entries.reserve(labelled.size());
    for (const auto &[number, entry] : labelled) {
        numbers.push_back(number);
        entries.push_back(entry);
    }
    board_.publish(LabelSnapshot(std::move(numbers), std::move(entries), std::move(sources))
                       .withPlaces(agreedPlaces(today)));
    builtFor_ = today;
    builtVersion_ = dataVersion();
}

std::int64_t SqliteStore::dataVersion()
{
    SqliteStatement::Use read(connection_.statement("PRAGMA data_version"));
    return read.step() ? read.integer(0) : 0;
}

NumberDetails SqliteStore::readDetails(const std::string &number)
{
    NumberDetails details;
    try {
        const Day today = chinaDay(now());
        {
            SqliteStatement::Use read(connection_.statement(
                "SELECT category, day FROM reports WHERE number = ?1 AND day > ?2"));
            read.bind(1, number).bind(2, std::int64_t{today} - options_.rules.windowDays);
            while (read.step()) {
                const auto category = storedCategory(read.text(0));
                const Day day = static_cast<Day>(read.integer(1));
                if (!category || day > today)
                    continue;
                ++details.counts[static_cast<size_t>(*category)];
                details.lastReported = std::max(details.lastReported.value_or(day), day);
            }
        }
        SqliteStatement::Use comments(connection_.statement(
            "SELECT category, comment, day FROM reports WHERE number = ?1 AND comment <> '' "
            "ORDER BY reported_at DESC LIMIT " +
            std::to_string(kShownComments)));
        comments.bind(1, number);
        while (comments.step())
            if (const auto category = storedCategory(comments.text(0)))
                details.comments.push_back({*category, std::string(comments.text(1)),
                                            static_cast<Day>(comments.integer(2))});
        details.available = true;
    } catch (const std::exception &error) {
        failed(error);
        details = {};
    }
    return details;
}

}  // namespace zuno::service
