// SPDX-License-Identifier: Apache-2.0
#include "store/sql_store.h"

#include "log/log_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <stdexcept>

namespace zuno::service {
namespace {

// Reports that arrived together share one transaction, up to this many.
constexpr size_t kMostWritesABatch = 64;

std::int64_t systemNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Runs an upsert of a row keyed by its first two parameters; whether it replaced one.
// PostgreSQL tells by the row's xmax, leaving no moment for another instance's insert to slip
// in; SQLite's writers take turns, so looking first is as exact.
bool upsertReplaced(SqlConnection &sql, std::string_view upsert, std::string_view earlier,
                    std::initializer_list<SqlParameter> parameters)
{
    if (sql.kind() == SqlConnection::Kind::Postgres) {
        const auto stored =
            sql.query(std::string(upsert) + " RETURNING (xmax <> 0)::int", parameters);
        return stored->next() && stored->integer(0) != 0;
    }
    const bool replaced = sql.query(earlier, SqlParameters(parameters.begin(), 2))->next();
    sql.change(upsert, parameters);
    return replaced;
}

}  // namespace

SqlStore::SqlStore(LabelRules rules, std::function<std::int64_t()> clock, std::string_view kind,
                   std::chrono::seconds retryAfter)
    : rules_(rules),
      clock_(clock ? std::move(clock) : systemNow),
      kind_(kind),
      retryAfter_(retryAfter)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make the label store's wake pipe");
    wakeRead_ = ends[0];
    wakeWrite_ = ends[1];
}

SqlStore::~SqlStore()
{
    stop();
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void SqlStore::start()
{
    thread_ = std::thread([this] { run(); });
    lateReads_ = std::thread([this] { answerLateReads(); });
}

void SqlStore::stop()
{
    if (!thread_.joinable())
        return;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const char byte = 0;
    // A full pipe already wakes the thread.
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
    thread_.join();
    {
        const std::lock_guard lock(readsMutex_);
        readsStopping_ = true;
    }
    readsChanged_.notify_one();
    lateReads_.join();
}

void SqlStore::answerLateReads()
{
    std::unique_lock lock(readsMutex_);
    while (!readsStopping_) {
        if (pendingReads_.empty()) {
            readsChanged_.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < pendingReads_.front()->due) {
            readsChanged_.wait_until(lock, pendingReads_.front()->due);
            continue;
        }
        const std::shared_ptr<PendingRead> due = std::move(pendingReads_.front());
        pendingReads_.pop_front();
        lock.unlock();
        NumberDetails late;
        late.late = true;
        due->answer(std::move(late));
        lock.lock();
    }
}

void SqlStore::enqueue(Task task)
{
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
}

void SqlStore::report(StoredReport report, std::function<void(WriteOutcome)> done)
{
    enqueue(Write{false, std::move(report), std::move(done), std::nullopt});
}

void SqlStore::withdraw(std::string number, std::string network,
                        std::function<void(WriteOutcome)> done)
{
    StoredReport report;
    report.number = std::move(number);
    report.network = std::move(network);
    enqueue(Write{true, std::move(report), std::move(done), std::nullopt});
}

void SqlStore::reportPlace(StoredPlace place, std::function<void(WriteOutcome)> done)
{
    enqueue(Write{false, {}, std::move(done), std::move(place)});
}

void SqlStore::withdrawPlace(std::string block, std::string network,
                             std::function<void(WriteOutcome)> done)
{
    enqueue(
        Write{true, {}, std::move(done), StoredPlace{std::move(block), std::move(network), {}}});
}

void SqlStore::details(std::string number, std::function<void(NumberDetails)> done)
{
    auto pending = std::make_shared<PendingRead>();
    pending->done = std::move(done);
    pending->due = std::chrono::steady_clock::now() + kDetailsWait;
    {
        const std::lock_guard lock(readsMutex_);
        pendingReads_.push_back(pending);
    }
    readsChanged_.notify_one();
    enqueue(Read{std::move(number), std::move(pending)});
}

void SqlStore::refresh(std::function<void()> done) { enqueue(Refresh{std::move(done)}); }

void SqlStore::waitForWork()
{
    pollfd wanted[2] = {{wakeRead_, POLLIN, 0}, {socket(), POLLIN, 0}};
    const int ready = ::poll(wanted, 2, static_cast<int>(idleWait().count()));
    if (ready < 0 && errno != EINTR)
        return;
    if (wanted[0].revents & POLLIN) {
        char drained[256];
        while (::read(wakeRead_, drained, sizeof drained) > 0) {}
    }
    if (wanted[1].fd >= 0 && (wanted[1].revents & (POLLIN | POLLERR | POLLHUP)))
        socketReadable();
}

void SqlStore::run()
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
        try {
            if (SqlConnection *sql = reachable()) {
                if (stale())
                    rebuild();
                else
                    catchUp(*sql);
            }
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
                // One answered without its details already needs no read.
                if (!read->pending->answered)
                    read->pending->answer(readDetails(read->number));
            } else if (auto *refresh = std::get_if<Refresh>(&task)) {
                try {
                    if (reachable())
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

void SqlStore::failed(const std::exception &error)
{
    if (!failing_)
        logLine(LogLevel::Error,
                std::string("label database: ") + error.what() +
                    "; reports are refused until it works again, lookups keep their labels");
    failing_ = true;
    lost(error);
}

void SqlStore::commitWrites(std::vector<Write> &writes)
{
    if (writes.empty())
        return;
    const std::int64_t at = now();
    std::vector<WriteOutcome> outcomes;
    bool committed = false;
    try {
        SqlConnection *sql = reachable();
        if (!sql)
            throw std::runtime_error("the server cannot be reached");
        checkWritable();
        LabelChanges changed;
        {
            SqlTransaction transaction(*sql);
            for (const Write &write : writes)
                outcomes.push_back(apply(*sql, write, at));
            for (size_t i = 0; i < writes.size(); ++i)
                if (outcomes[i].result != WriteOutcome::Result::RateLimited &&
                    outcomes[i].result != WriteOutcome::Result::NotFound) {
                    if (writes[i].place)
                        changed.places = true;
                    else
                        changed.numbers.push_back(writes[i].report.number);
                }
            std::sort(changed.numbers.begin(), changed.numbers.end());
            changed.numbers.erase(std::unique(changed.numbers.begin(), changed.numbers.end()),
                                  changed.numbers.end());
            if (!changed.namesNothing())
                sql->announceChange(changed);
            transaction.commit();
            committed = true;
        }
        if (failing_)
            logLine(LogLevel::Info, "label database: works again, reports are taken");
        failing_ = false;
        takeChanges(*sql, changed);
    } catch (const std::exception &error) {
        failed(error);
        if (committed) {
            // The writes stand and are answered so; the board takes them at its next build.
            builtFor_ = 0;
        } else {
            outcomes.assign(writes.size(),
                            WriteOutcome{WriteOutcome::Result::Unavailable, {}, retryAfter_});
            failedWrites_ += writes.size();
        }
    }
    for (size_t i = 0; i < writes.size(); ++i)
        writes[i].done(std::move(outcomes[i]));
    writes.clear();
}

void SqlStore::takeChanges(SqlConnection &sql, const LabelChanges &changed)
{
    const Day today = chinaDay(now());
    std::vector<LabelSnapshot::Change> changes;
    for (const std::string &number : changed.numbers)
        if (const auto key = numberKey(number))
            changes.push_back({*key, entryOf(sql, number, today)});
    if (changes.empty() && !changed.places)
        return;
    auto next = board_.shared()->with(changes);
    if (changed.places)
        next = next->withPlaces(agreedPlaces(sql, today));
    board_.publish(std::move(next));
}

WriteOutcome SqlStore::apply(SqlConnection &sql, const Write &write, std::int64_t at)
{
    if (write.place)
        return applyPlace(sql, write, at);
    const StoredReport &report = write.report;
    if (write.withdraw)
        return {sql.change("DELETE FROM reports WHERE number = $1 AND network = $2",
                           {report.number, report.network}) > 0
                    ? WriteOutcome::Result::Withdrawn
                    : WriteOutcome::Result::NotFound,
                {},
                {}};
    if (auto limited = overDailyLimit(sql, report.network, at))
        return std::move(*limited);
    const bool replaced = upsertReplaced(
        sql,
        "INSERT INTO reports (number, network, category, comment, reported_at, day) "
        "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (number, network) DO UPDATE SET "
        "category = excluded.category, comment = excluded.comment, "
        "reported_at = excluded.reported_at, day = excluded.day",
        "SELECT 1 FROM reports WHERE number = $1 AND network = $2",
        {report.number, report.network, categoryName(report.category), report.comment, at,
         std::int64_t{chinaDay(at)}});
    StoredReport stored = report;
    stored.reportedAt = at;
    return {replaced ? WriteOutcome::Result::Replaced : WriteOutcome::Result::Created,
            std::move(stored),
            {}};
}

std::optional<WriteOutcome> SqlStore::overDailyLimit(SqlConnection &sql, const std::string &network,
                                                     std::int64_t at)
{
    const Day day = chinaDay(at);
    // Counted first and undone with the transaction: two instances cannot both pass the limit.
    const auto counted =
        sql.query("INSERT INTO daily_reports (network, day, reports) VALUES ($1, $2, 1) "
                  "ON CONFLICT (network, day) DO UPDATE SET reports = daily_reports.reports + 1 "
                  "RETURNING reports",
                  {network, std::int64_t{day}});
    if (counted->next() && counted->integer(0) <= kReportsADay)
        return std::nullopt;
    sql.change("UPDATE daily_reports SET reports = reports - 1 WHERE network = $1 AND day = $2",
               {network, std::int64_t{day}});
    return WriteOutcome{WriteOutcome::Result::RateLimited, {},
                        std::chrono::seconds(chinaDayStart(day + 1) - at)};
}

WriteOutcome SqlStore::applyPlace(SqlConnection &sql, const Write &write, std::int64_t at)
{
    const StoredPlace &place = *write.place;
    if (write.withdraw)
        return {sql.change("DELETE FROM place_reports WHERE block = $1 AND network = $2",
                           {place.block, place.network}) > 0
                    ? WriteOutcome::Result::Withdrawn
                    : WriteOutcome::Result::NotFound,
                {},
                {}};
    if (auto limited = overDailyLimit(sql, place.network, at))
        return std::move(*limited);
    const bool replaced = upsertReplaced(
        sql,
        "INSERT INTO place_reports (block, network, place, reported_at, day) "
        "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (block, network) DO UPDATE SET "
        "place = excluded.place, reported_at = excluded.reported_at, day = excluded.day",
        "SELECT 1 FROM place_reports WHERE block = $1 AND network = $2",
        {place.block, place.network, place.place, at, std::int64_t{chinaDay(at)}});
    return {replaced ? WriteOutcome::Result::Replaced : WriteOutcome::Result::Created, {}, {}};
}

std::shared_ptr<const BlockPlaces> SqlStore::agreedPlaces(SqlConnection &sql, Day today)
{
    auto places = std::make_shared<BlockPlaces>();
    const auto read =
        sql.query("SELECT block, place, day FROM place_reports WHERE day > $1 ORDER BY block",
                  {std::int64_t{today} - rules_.windowDays});
    std::string block;
    std::vector<PlaceFact> facts;
    std::vector<std::string> texts;  // the facts' places, which they only view
    std::vector<Day> days;
    const auto settle = [&] {
        facts.clear();
        for (size_t i = 0; i < texts.size(); ++i)
            facts.push_back({texts[i], days[i]});
        const auto agreed = agreedPlace(facts, today, rules_);
        BlockKey key = 0;
        const auto [end, error] = std::from_chars(block.data(), block.data() + block.size(), key);
        if (agreed && error == std::errc() && end == block.data() + block.size())
            places->emplace_back(key, std::string(*agreed));
        texts.clear();
        days.clear();
    };
    while (read->next()) {
        if (read->text(0) != block) {
            if (!texts.empty())
                settle();
            block = std::string(read->text(0));
        }
        texts.emplace_back(read->text(1));
        days.push_back(static_cast<Day>(read->integer(2)));
    }
    if (!texts.empty())
        settle();
    std::sort(places->begin(), places->end());
    return places;
}

std::optional<LabelSnapshot::Entry> SqlStore::entryOf(SqlConnection &sql, const std::string &number,
                                                      Day today)
{
    std::vector<ReportFact> facts;
    {
        const auto read =
            sql.query("SELECT category, day FROM reports WHERE number = $1", {number});
        while (read->next())
            if (const auto category = categoryNamed(read->text(0)))
                facts.push_back({*category, static_cast<Day>(read->integer(1))});
    }
    if (const auto label = labelOf(facts, today, rules_))
        return LabelSnapshot::Entry{label->lastReported, label->reporters, label->category,
                                    label->contested, 0};
    // Without a community label, an imported one shows, if its source is known to the snapshot.
    const auto imported = sql.query("SELECT category, reporters, last_reported, source FROM "
                                    "imported_labels WHERE number = $1",
                                    {number});
    if (!imported->next())
        return std::nullopt;
    const auto category = categoryNamed(imported->text(0));
    const auto day = parseDay(imported->text(2));
    const auto &sources = board_.shared()->sources();
    const auto source = std::find(sources.begin(), sources.end(), imported->text(3));
    if (!category || !day || source == sources.end())
        return std::nullopt;
    return LabelSnapshot::Entry{*day, static_cast<std::uint32_t>(imported->integer(1)), *category,
                                false, static_cast<std::uint16_t>(source - sources.begin() + 1)};
}

void SqlStore::rebuild()
{
    SqlConnection *sql = reachable();
    if (!sql)
        throw std::runtime_error("the server cannot be reached");
    const Day today = chinaDay(now());
    struct Row {
        NumberKey number;
        ReportFact fact;
    };
    std::vector<Row> rows;
    {
        const auto read = sql->query("SELECT number, category, day FROM reports WHERE day > $1",
                                     {std::int64_t{today} - rules_.windowDays});
        while (read->next()) {
            const auto number = numberKey(read->text(0));
            const auto category = categoryNamed(read->text(1));
            if (number && category)
                rows.push_back({*number, {*category, static_cast<Day>(read->integer(2))}});
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
        if (const auto label = labelOf(facts, today, rules_))
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
        const auto read = sql->query(
            "SELECT number, category, reporters, last_reported, source FROM imported_labels");
        while (read->next()) {
            const auto number = numberKey(read->text(0));
            const auto category = categoryNamed(read->text(1));
            const auto day = parseDay(read->text(3));
            if (!number || !category || !day)
                continue;
            const auto known = std::lower_bound(
                labelled.begin(), labelled.begin() + community, *number,
                [](const auto &entry, NumberKey key) { return entry.first < key; });
            if (known != labelled.begin() + community && known->first == *number)
                continue;
            auto source = std::find(sources.begin(), sources.end(), read->text(4));
            if (source == sources.end()) {
                if (sources.size() == UINT16_MAX)
                    continue;
                sources.emplace_back(read->text(4));
                source = sources.end() - 1;
            }
            labelled.push_back({*number,
                                {*day, static_cast<std::uint32_t>(read->integer(2)), *category,
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
                       .withPlaces(agreedPlaces(*sql, today)));
    builtFor_ = today;
    rebuilt();
}

NumberDetails SqlStore::readDetails(const std::string &number)
{
    NumberDetails details;
    try {
        SqlConnection *sql = reachable();
        if (!sql)
            throw std::runtime_error("the server cannot be reached");
        const Day today = chinaDay(now());
        {
            const auto read =
                sql->query("SELECT category, day FROM reports WHERE number = $1 AND day > $2",
                           {number, std::int64_t{today} - rules_.windowDays});
            while (read->next()) {
                const auto category = categoryNamed(read->text(0));
                const Day day = static_cast<Day>(read->integer(1));
                if (!category || day > today)
                    continue;
                ++details.counts[static_cast<size_t>(*category)];
                details.lastReported = std::max(details.lastReported.value_or(day), day);
            }
        }
        const auto comments =
            sql->query("SELECT category, comment, day FROM reports WHERE number = $1 AND "
                       "comment <> '' ORDER BY reported_at DESC LIMIT " +
                           std::to_string(kShownComments),
                       {number});
        while (comments->next())
            if (const auto category = categoryNamed(comments->text(0)))
                details.comments.push_back({*category, std::string(comments->text(1)),
                                            static_cast<Day>(comments->integer(2))});
        details.available = true;
    } catch (const std::exception &error) {
        failed(error);
        details = {};
    }
    return details;
}

}  // namespace zuno::service
