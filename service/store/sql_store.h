// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_store.h"
#include "store/sql_connection.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

namespace zuno::service {

// A label store on an SQL database, the same for SQLite and PostgreSQL: its own thread owns the
// connection; writes queued from any thread are committed in batches (one transaction for the
// reports that arrived together), answered only once committed, and their numbers' labels
// published on the board before the answers go out. When the database fails, writes answer
// Unavailable (logged once, and once when it works again) and the board keeps what it had. The
// subclass says how to reach its database and when the board is out of date (another writer's
// change, the passing of days); it calls rebuild() and start() at the end of its constructor,
// and stop() first in its destructor, since the thread calls its overrides.
class SqlStore : public LabelStore
{
public:
    ~SqlStore() override;
    SqlStore(const SqlStore &) = delete;
    SqlStore &operator=(const SqlStore &) = delete;

    void report(StoredReport report, std::function<void(WriteOutcome)> done) override;
    void withdraw(std::string number, std::string network,
                  std::function<void(WriteOutcome)> done) override;
    void reportPlace(StoredPlace place, std::function<void(WriteOutcome)> done) override;
    void withdrawPlace(std::string block, std::string network,
                       std::function<void(WriteOutcome)> done) override;
    void details(std::string number, std::function<void(NumberDetails)> done) override;
    void refresh(std::function<void()> done) override;

    const LabelBoard &board() const override { return board_; }
    const LabelRules &rules() const override { return rules_; }
    StoreHealth health() const override { return {kind_, !failing_, reconnects_, failedWrites_}; }

protected:
    // kind names the store in the metrics; retryAfter is what Unavailable answers suggest.
    SqlStore(LabelRules rules, std::function<std::int64_t()> clock, std::string_view kind,
             std::chrono::seconds retryAfter);

    // The connection to use now, made again if need be; nullptr while the database cannot be
    // reached.
    virtual SqlConnection *reachable() = 0;
    // Throws when writes must not reach the database now.
    virtual void checkWritable() {}
    // Whether the board must be built again: the day changed, or another writer's change.
    virtual bool stale() = 0;
    // After each rebuild, on the thread.
    virtual void rebuilt() {}
    // Takes others' changes the subclass was told of, when the board is not stale as a whole.
    virtual void catchUp(SqlConnection &) {}
    // After each failure, on the thread, once logged.
    virtual void lost(const std::exception &) {}
    // A socket whose input the thread waits for with its tasks (-1: none), what to do when it
    // has some, and how long to wait when nothing comes.
    virtual int socket() const { return -1; }
    virtual void socketReadable() {}
    virtual std::chrono::milliseconds idleWait() const = 0;

    void start();
    void stop();
    // Builds the snapshot afresh; throws the database's error.
    void rebuild();
    // Reads the changed numbers' labels (and the places) again and publishes them; throws the
    // database's error.
    void takeChanges(SqlConnection &sql, const LabelChanges &changed);
    // Logs the first failure of a run of them; writes answer Unavailable meanwhile.
    void failed(const std::exception &error);
    std::int64_t now() const { return clock_(); }
    Day builtFor() const { return builtFor_; }

    // Written by the store's thread, read by the metrics.
    std::atomic<bool> failing_{false};
    std::atomic<std::uint64_t> reconnects_{0};

private:
    struct Write {
        bool withdraw = false;
        StoredReport report;
        std::function<void(WriteOutcome)> done;
        std::optional<StoredPlace> place;  // set for a block's place: report is unused
    };
    // A page's details, answered once: by the thread, or without them once past kDetailsWait.
    struct PendingRead {
        std::function<void(NumberDetails)> done;
        std::chrono::steady_clock::time_point due;
        std::atomic<bool> answered{false};
        void answer(NumberDetails details)
        {
            if (!answered.exchange(true))
                std::exchange(done, nullptr)(std::move(details));
        }
    };
    struct Read {
        std::string number;
        std::shared_ptr<PendingRead> pending;
    };
    struct Refresh {
        std::function<void()> done;
    };
    using Task = std::variant<Write, Read, Refresh>;

    void enqueue(Task task);
    void run();
    // Answers the reads still pending when due, on a thread of its own: the store's may be
    // held by the database.
    void answerLateReads();
    void waitForWork();
    void commitWrites(std::vector<Write> &writes);
    WriteOutcome apply(SqlConnection &sql, const Write &write, std::int64_t at);
    WriteOutcome applyPlace(SqlConnection &sql, const Write &write, std::int64_t at);
    // Whether the network made its reports for the day; counts this one when not.
    std::optional<WriteOutcome> overDailyLimit(SqlConnection &sql, const std::string &network,
                                               std::int64_t at);
    // The places agreed on today, from every block's recent reports.
    std::shared_ptr<const BlockPlaces> agreedPlaces(SqlConnection &sql, Day today);
    std::optional<LabelSnapshot::Entry> entryOf(SqlConnection &sql, const std::string &number,
                                                Day today);
    NumberDetails readDetails(const std::string &number);

    const LabelRules rules_;
    const std::function<std::int64_t()> clock_;
    const std::string_view kind_;
    const std::chrono::seconds retryAfter_;
    LabelBoard board_;
    Day builtFor_ = 0;
    std::atomic<std::uint64_t> failedWrites_{0};
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    std::mutex mutex_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;

    std::mutex readsMutex_;
    std::condition_variable readsChanged_;
    std::deque<std::shared_ptr<PendingRead>> pendingReads_;  // by when due
    bool readsStopping_ = false;
    std::thread lateReads_;
};

}  // namespace zuno::service
