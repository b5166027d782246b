// SPDX-License-Identifier: Apache-2.0
#include "pg_store.h"

#include "log_line.h"
#include "migrations.h"

#include <openssl/rand.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>

namespace zuno::service {
namespace {

constexpr size_t kMostWritesABatch = 64;
// A missed notification is caught by this check; the day's change too.
constexpr auto kPeriodicCheck = std::chrono::seconds(5);
// Reconnecting waits this long at first, doubling up to the most: a server back is used
// again within a second.
constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kMostBackoff{1000};
constexpr std::chrono::seconds kRetryUnavailable{2};
constexpr std::int64_t kSecondsADay = 86400;
constexpr std::int64_t kChinaOffset = 8 * 3600;
// Held while migrating, so that instances starting together migrate once.
constexpr std::string_view kMigrationLock = "SELECT pg_advisory_lock(7450320917)";
constexpr std::string_view kMigrationUnlock = "SELECT pg_advisory_unlock(7450320917)";

std::string number(std::int64_t value) { return std::to_string(value); }

std::string randomSecret()
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("cannot make the reporters' key: no random bytes");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex.push_back(kHex[byte >> 4]);
        hex.push_back(kHex[byte & 15]);
    }
    return hex;
}

}  // namespace

std::string preparePgDatabase(PgConnection &connection)
{
    connection.execute(kMigrationLock);
    try {
        connection.execute("BEGIN");
        connection.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        std::int64_t version = 0;
        const PgRows read = connection.run("SELECT version FROM schema_version");
        if (read.size() > 0)
            version = read.integer(0, 0);
        else
            connection.execute("INSERT INTO schema_version (version) VALUES (0)");
        const auto steps = migrations();
        if (version > static_cast<std::int64_t>(steps.size()))
            throw PgError("its schema version " + number(version) +
                              " is newer than this program knows (" + number(steps.size()) + ")",
                          false);
        for (auto step = static_cast<size_t>(version); step < steps.size(); ++step)
            connection.execute(steps[step]);
        connection.run("UPDATE schema_version SET version = $1", {number(steps.size())});
        // The key keys networks; shared, one network counts once whichever instance it uses.
        connection.execute("CREATE TABLE IF NOT EXISTS reporter_key ("
                           " id INTEGER PRIMARY KEY CHECK (id = 1), secret TEXT NOT NULL)");
        connection.run("INSERT INTO reporter_key (id, secret) VALUES (1, $1) "
                       "ON CONFLICT (id) DO NOTHING",
                       {randomSecret()});
        const PgRows key = connection.run("SELECT secret FROM reporter_key WHERE id = 1");
        std::string secret(key.text(0, 0));
        connection.execute("COMMIT");
        connection.execute(kMigrationUnlock);
        return secret;
    } catch (...) {
        try {
            connection.execute("ROLLBACK");
            connection.execute(kMigrationUnlock);
        } catch (const PgError &) {
            // Closing the connection releases the lock and the transaction.
        }
        throw;
    }
}

PgStore::PgStore(Options options) : options_(std::move(options))
{
    if (!options_.clock)
        options_.clock = [] {
            return static_cast<std::int64_t>(
                std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count());
        };
    try {
        connection_ = std::make_unique<PgConnection>(options_.uri);
        secret_ = preparePgDatabase(*connection_);
        connection_->execute("LISTEN zuno_labels");
        rebuild();
    } catch (const PgError &error) {
        throw PgError(std::string("cannot use the label database: ") + error.what(), false);
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make the label store's wake pipe");
    wakeRead_ = ends[0];
    wakeWrite_ = ends[1];
    thread_ = std::thread([this] { run(); });
}

PgStore::~PgStore()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
    thread_.join();
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::int64_t PgStore::now() const { return options_.clock(); }

void PgStore::enqueue(Task task)
{
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
}

void PgStore::report(StoredReport report, std::function<void(WriteOutcome)> done)
{
    enqueue(Write{false, std::move(report), std::move(done), std::nullopt});
}

void PgStore::withdraw(std::string number, std::string network,
                       std::function<void(WriteOutcome)> done)
{
    StoredReport report;
    report.number = std::move(number);
    report.network = std::move(network);
    enqueue(Write{true, std::move(report), std::move(done), std::nullopt});
}

void PgStore::reportPlace(StoredPlace place, std::function<void(WriteOutcome)> done)
{
    enqueue(Write{false, {}, std::move(done), std::move(place)});
}

void PgStore::withdrawPlace(std::string block, std::string network,
                            std::function<void(WriteOutcome)> done)
{
    enqueue(
        Write{true, {}, std::move(done), StoredPlace{std::move(block), std::move(network), {}}});
}

void PgStore::details(std::string number, std::function<void(NumberDetails)> done)
{
    enqueue(Read{std::move(number), std::move(done)});
}

void PgStore::refresh(std::function<void()> done) { enqueue(Refresh{std::move(done)}); }

void PgStore::waitForWork()
{
    pollfd wanted[2] = {{wakeRead_, POLLIN, 0}, {-1, POLLIN, 0}};
    if (connection_)
        wanted[1].fd = connection_->socket();
    const int ready = ::poll(wanted, 2, connection_ ? 1000 : 100);
    if (ready < 0 && errno != EINTR)
        return;
    if (wanted[0].revents & POLLIN) {
        char drained[256];
        while (::read(wakeRead_, drained, sizeof drained) > 0) {}
    }
    if (connection_ && (wanted[1].revents & (POLLIN | POLLERR | POLLHUP))) {
        try {
            notified_ = connection_->othersNotified() || notified_;
        } catch (const PgError &error) {
            failed(error);
        }
    }
}

bool PgStore::connected()
{
    if (connection_)
        return true;
    const auto at = std::chrono::steady_clock::now();
    if (at < nextAttempt_)
        return false;
    try {
        connect();
        return true;
    } catch (const std::exception &) {
        backoff_ = std::min(std::max(backoff_ * 2, kFirstBackoff), kMostBackoff);
        nextAttempt_ = at + backoff_;
        connection_.reset();
        return false;
    }
}

void PgStore::connect()
{
    connection_ = std::make_unique<PgConnection>(options_.uri);
    connection_->execute("LISTEN zuno_labels");
    rebuild();
    backoff_ = {};
    if (failing_)
        logLine(LogLevel::Info, "label database: works again, reports are taken");
    failing_ = false;
}

void PgStore::run()
{
    for (;;) {
        waitForWork();
        std::deque<Task> tasks;
        {
            const std::lock_guard lock(mutex_);
            if (tasks_.empty() && stopping_)
                return;
            tasks.swap(tasks_);
        }
        if (connected()) {
            try {
                if (notified_ || chinaDay(now()) != builtFor_ ||
                    std::chrono::steady_clock::now() - builtAt_ >= kPeriodicCheck)
                    rebuild();
            } catch (const std::exception &error) {
                failed(error);
            }
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
                    if (connected())
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

void PgStore::failed(const std::exception &error)
{
    if (!failing_)
        logLine(LogLevel::Error,
                std::string("label database: ") + error.what() +
                    "; reports are refused until it works again, lookups keep their labels");
    failing_ = true;
    const auto *pg = dynamic_cast<const PgError *>(&error);
    if (connection_ && (!pg || pg->lost())) {
        connection_.reset();
        nextAttempt_ = std::chrono::steady_clock::now() + kFirstBackoff;
        backoff_ = kFirstBackoff;
    }
}

void PgStore::commitWrites(std::vector<Write> &writes)
{
    if (writes.empty())
        return;
    const std::int64_t at = now();
    std::vector<WriteOutcome> outcomes;
    bool committed = false;
    try {
        if (!connected())
            throw PgError("the server cannot be reached", true);
        connection_->execute("BEGIN");
        try {
            for (const Write &write : writes)
                outcomes.push_back(apply(write, at));
            // Delivered to the listening instances when the transaction commits.
            connection_->execute("NOTIFY zuno_labels");
            connection_->execute("COMMIT");
            committed = true;
        } catch (...) {
            try {
                if (connection_)
                    connection_->execute("ROLLBACK");
            } catch (const PgError &) {
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
        std::vector<LabelSnapshot::Change> changes;
        for (const std::string &changed : touched)
            if (const auto key = numberKey(changed))
                changes.push_back({*key, entryOf(changed, today)});
        if (!changes.empty() || placesChanged) {
            auto next = board_.shared()->with(changes);
            if (placesChanged)
                next = next->withPlaces(agreedPlaces(today));
            board_.publish(std::move(next));
        }
    } catch (const std::exception &error) {
        failed(error);
        // Committed writes stand, answered as such; the board catches up when next rebuilt.
        if (committed)
            notified_ = true;
        else
            outcomes.assign(writes.size(),
                            WriteOutcome{WriteOutcome::Result::Unavailable, {}, kRetryUnavailable});
    }
    for (size_t i = 0; i < writes.size(); ++i)
        writes[i].done(std::move(outcomes[i]));
    writes.clear();
}

WriteOutcome PgStore::apply(const Write &write, std::int64_t at)
{
    if (write.place)
        return applyPlace(write, at);
    const StoredReport &report = write.report;
    if (write.withdraw) {
        const PgRows removed =
            connection_->run("DELETE FROM reports WHERE number = $1 AND network = $2",
                             {report.number, report.network});
        return {removed.changed() > 0 ? WriteOutcome::Result::Withdrawn
                                      : WriteOutcome::Result::NotFound,
                {},
                {}};
    }
    if (auto limited = overDailyLimit(report.network, at))
        return std::move(*limited);
    // xmax is not zero for a row the statement updated rather than inserted.
    const PgRows stored = connection_->run(
        "INSERT INTO reports (number, network, category, comment, reported_at, day) "
        "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (number, network) DO UPDATE SET "
        "category = excluded.category, comment = excluded.comment, "
        "reported_at = excluded.reported_at, day = excluded.day "
        "RETURNING (xmax <> 0)::int",
        {report.number, report.network, std::string(categoryName(report.category)), report.comment,
         number(at), number(chinaDay(at))});
    StoredReport kept = report;
    kept.reportedAt = at;
    return {stored.integer(0, 0) ? WriteOutcome::Result::Replaced : WriteOutcome::Result::Created,
            std::move(kept),
            {}};
}

std::optional<WriteOutcome> PgStore::overDailyLimit(const std::string &network, std::int64_t at)
{
    const Day day = chinaDay(at);
    // Counted first and undone with the transaction: two instances cannot both pass the limit.
    const PgRows counted = connection_->run(
        "INSERT INTO daily_reports (network, day, reports) VALUES ($1, $2, 1) "
        "ON CONFLICT (network, day) DO UPDATE SET reports = daily_reports.reports + 1 "
        "RETURNING reports",
        {network, number(day)});
    if (counted.integer(0, 0) <= kReportsADay)
        return std::nullopt;
    connection_->run("UPDATE daily_reports SET reports = reports - 1 "
                     "WHERE network = $1 AND day = $2",
                     {network, number(day)});
    const std::int64_t nextDay = (std::int64_t{day} + 1) * kSecondsADay - kChinaOffset;
    return WriteOutcome{WriteOutcome::Result::RateLimited, {}, std::chrono::seconds(nextDay - at)};
}

WriteOutcome PgStore::applyPlace(const Write &write, std::int64_t at)
{
    const StoredPlace &place = *write.place;
    if (write.withdraw) {
        const PgRows removed =
            connection_->run("DELETE FROM place_reports WHERE block = $1 AND network = $2",
                             {place.block, place.network});
        return {removed.changed() > 0 ? WriteOutcome::Result::Withdrawn
                                      : WriteOutcome::Result::NotFound,
                {},
                {}};
    }
    if (auto limited = overDailyLimit(place.network, at))
        return std::move(*limited);
    const PgRows stored = connection_->run(
        "INSERT INTO place_reports (block, network, place, reported_at, day) "
        "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (block, network) DO UPDATE SET "
        "place = excluded.place, reported_at = excluded.reported_at, day = excluded.day "
        "RETURNING (xmax <> 0)::int",
        {place.block, place.network, place.place, number(at), number(chinaDay(at))});
    return {stored.integer(0, 0) ? WriteOutcome::Result::Replaced : WriteOutcome::Result::Created,
            {},
            {}};
}

std::shared_ptr<const BlockPlaces> PgStore::agreedPlaces(Day today)
{
    auto places = std::make_shared<BlockPlaces>();
    const PgRows read = connection_->run(
        "SELECT block, place, day FROM place_reports WHERE day > $1 ORDER BY block",
        {number(std::int64_t{today} - options_.rules.windowDays)});
    for (int first = 0; first < read.size();) {
        std::vector<PlaceFact> facts;
        int end = first;
        for (; end < read.size() && read.text(end, 0) == read.text(first, 0); ++end)
            facts.push_back({read.text(end, 1), static_cast<Day>(read.integer(end, 2))});
        const std::string_view block = read.text(first, 0);
        BlockKey key = 0;
        const auto [last, error] = std::from_chars(block.data(), block.data() + block.size(), key);
        const auto agreed = agreedPlace(facts, today, options_.rules);
        if (agreed && error == std::errc() && last == block.data() + block.size())
            places->emplace_back(key, std::string(*agreed));
        first = end;
    }
    std::sort(places->begin(), places->end());
    return places;
}

std::optional<LabelSnapshot::Entry> PgStore::entryOf(const std::string &reported, Day today)
{
    std::vector<ReportFact> facts;
    const PgRows read =
        connection_->run("SELECT category, day FROM reports WHERE number = $1", {reported});
    for (int row = 0; row < read.size(); ++row)
        if (const auto category = categoryNamed(read.text(row, 0)))
            facts.push_back({*category, static_cast<Day>(read.integer(row, 1))});
    if (const auto label = labelOf(facts, today, options_.rules))
        return LabelSnapshot::Entry{label->lastReported, label->reporters, label->category,
                                    label->contested, 0};
    const PgRows imported =
        connection_->run("SELECT category, reporters, last_reported, source FROM "
                         "imported_labels WHERE number = $1",
                         {reported});
    if (imported.size() == 0)
        return std::nullopt;
    const auto category = categoryNamed(imported.text(0, 0));
    const auto day = parseDay(imported.text(0, 2));
    const auto &sources = board_.shared()->sources();
    const auto source = std::find(sources.begin(), sources.end(), imported.text(0, 3));
    if (!category || !day || source == sources.end())
        return std::nullopt;
    return LabelSnapshot::Entry{*day, static_cast<std::uint32_t>(imported.integer(0, 1)), *category,
                                false, static_cast<std::uint16_t>(source - sources.begin() + 1)};
}

void PgStore::rebuild()
{
    const Day today = chinaDay(now());
    struct Row {
        NumberKey number;
        ReportFact fact;
    };
    std::vector<Row> rows;
    {
        const PgRows read =
            connection_->run("SELECT number, category, day FROM reports WHERE day > $1",
                             {number(std::int64_t{today} - options_.rules.windowDays)});
        for (int row = 0; row < read.size(); ++row) {
            const auto key = numberKey(read.text(row, 0));
            const auto category = categoryNamed(read.text(row, 1));
            if (key && category)
                rows.push_back({*key, {*category, static_cast<Day>(read.integer(row, 2))}});
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
    const auto community = static_cast<std::ptrdiff_t>(labelled.size());
    {
        const PgRows read = connection_->run(
            "SELECT number, category, reporters, last_reported, source FROM imported_labels");
        for (int row = 0; row < read.size(); ++row) {
            const auto key = numberKey(read.text(row, 0));
            const auto category = categoryNamed(read.text(row, 1));
            const auto day = parseDay(read.text(row, 3));
            if (!key || !category || !day)
                continue;
            const auto known = std::lower_bound(
                labelled.begin(), labelled.begin() + community, *key,
                [](const auto &entry, NumberKey wanted) { return entry.first < wanted; });
            if (known != labelled.begin() + community && known->first == *key)
                continue;
            auto source = std::find(sources.begin(), sources.end(), read.text(row, 4));
            if (source == sources.end()) {
                if (sources.size() == UINT16_MAX)
                    continue;
                sources.emplace_back(read.text(row, 4));
                source = sources.end() - 1;
            }
            labelled.push_back({*key,
                                {*day, static_cast<std::uint32_t>(read.integer(row, 2)), *category,
                                 false, static_cast<std::uint16_t>(source - sources.begin() + 1)}});
        }
    }
    std::sort(labelled.begin(), labelled.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<NumberKey> numbers;
    std::vector<LabelSnapshot::Entry> entries;
    numbers.reserve(labelled.size());
    entries.reserve(labelled.size());
    for (const auto &[key, entry] : labelled) {
        numbers.push_back(key);
        entries.push_back(entry);
    }
    board_.publish(LabelSnapshot(std::move(numbers), std::move(entries), std::move(sources))
                       .withPlaces(agreedPlaces(today)));
    builtFor_ = today;
    builtAt_ = std::chrono::steady_clock::now();
    notified_ = false;
}

NumberDetails PgStore::readDetails(const std::string &reported)
{
    NumberDetails details;
    try {
        if (!connected())
            throw PgError("the server cannot be reached", true);
        const Day today = chinaDay(now());
        const PgRows read =
            connection_->run("SELECT category, day FROM reports WHERE number = $1 AND day > $2",
                             {reported, number(std::int64_t{today} - options_.rules.windowDays)});
        for (int row = 0; row < read.size(); ++row) {
            const auto category = categoryNamed(read.text(row, 0));
            const Day day = static_cast<Day>(read.integer(row, 1));
            if (!category || day > today)
                continue;
            ++details.counts[static_cast<size_t>(*category)];
            details.lastReported = std::max(details.lastReported.value_or(day), day);
        }
        const PgRows comments = connection_->run(
            "SELECT category, comment, day FROM reports WHERE number = $1 AND comment <> '' "
            "ORDER BY reported_at DESC LIMIT " +
                number(kShownComments),
            {reported});
        for (int row = 0; row < comments.size(); ++row)
            if (const auto category = categoryNamed(comments.text(row, 0)))
                details.comments.push_back({*category, std::string(comments.text(row, 1)),
                                            static_cast<Day>(comments.integer(row, 2))});
        details.available = true;
    } catch (const std::exception &error) {
        failed(error);
        details = {};
    }
    return details;
}

}  // namespace zuno::service
