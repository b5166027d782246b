// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "label_store.h"
#include "pg_connection.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

namespace zuno::service {

// Migrates the database under an advisory lock (instances starting together migrate once) and
// reads the reporters' key every instance shares, making it when there is none. Throws PgError.
std::string preparePgDatabase(PgConnection &connection);

// The reporters' key as reporter_key keeps it. A key an instance made is 64 hexadecimal digits,
// used as they are; one moved from an SQLite file (raw bytes, which a text column cannot hold)
// is kept as "\x" and its bytes in hex, and read back as those bytes.
std::string reporterKeyText(std::string_view key);

// The label store in a PostgreSQL database that several instances share. Its own thread owns
// its own connection: writes are committed in batches as SQLite's store does, and each commit
// sends NOTIFY zuno_labels; every instance LISTENs and rebuilds its board on another's
// notification, and every 5 s in case one was missed. When the server goes away, writes
// answer Unavailable, the board keeps what it had, and the thread reconnects with backoff
// (logged once when it goes, once when it is back).
class PgStore final : public LabelStore
{
public:
    struct Options {
        std::string uri;  // any libpq connection URI
        LabelRules rules;
        std::function<std::int64_t()> clock;  // Unix seconds now; tests move it
    };

    // Connects, migrates (one instance at a time) and builds the first snapshot before
    // returning; throws PgError (one sentence for the operator) when it cannot.
    explicit PgStore(Options options);
    ~PgStore() override;
    PgStore(const PgStore &) = delete;
    PgStore &operator=(const PgStore &) = delete;

    // The reporters' key every instance on the database shares: made by the first.
    const std::string &reporterSecret() const { return secret_; }

    void report(StoredReport report, std::function<void(WriteOutcome)> done) override;
    void withdraw(std::string number, std::string network,
                  std::function<void(WriteOutcome)> done) override;
    void reportPlace(StoredPlace place, std::function<void(WriteOutcome)> done) override;
    void withdrawPlace(std::string block, std::string network,
                       std::function<void(WriteOutcome)> done) override;
    void details(std::string number, std::function<void(NumberDetails)> done) override;
    void refresh(std::function<void()> done) override;

    const LabelBoard &board() const override { return board_; }
    const LabelRules &rules() const override { return options_.rules; }
    StoreHealth health() const override
    {
        return {"postgresql", !failing_, reconnects_, failedWrites_};
    }

private:
    struct Write {
        bool withdraw = false;
        StoredReport report;
        std::function<void(WriteOutcome)> done;
        std::optional<StoredPlace> place;
    };
    struct Read {
        std::string number;
        std::function<void(NumberDetails)> done;
    };
    struct Refresh {
        std::function<void()> done;
    };
    using Task = std::variant<Write, Read, Refresh>;

    void enqueue(Task task);
    void run();
    // Waits for a task, another instance's notification or the next check.
    void waitForWork();
    bool connected();
    void connect();
    void commitWrites(std::vector<Write> &writes);
    WriteOutcome apply(const Write &write, std::int64_t now);
    WriteOutcome applyPlace(const Write &write, std::int64_t now);
    std::optional<WriteOutcome> overDailyLimit(const std::string &network, std::int64_t now);
    std::shared_ptr<const BlockPlaces> agreedPlaces(Day today);
    NumberDetails readDetails(const std::string &number);
    std::optional<LabelSnapshot::Entry> entryOf(const std::string &number, Day today);
    void rebuild();
    void failed(const std::exception &error);
    std::int64_t now() const;

    Options options_;
    std::unique_ptr<PgConnection> connection_;
    std::string secret_;
    LabelBoard board_;
    Day builtFor_ = 0;
    std::chrono::steady_clock::time_point builtAt_;
    std::chrono::steady_clock::time_point nextAttempt_;
    std::chrono::milliseconds backoff_{0};
    // Written by the store's thread, read by the metrics.
    std::atomic<bool> failing_{false};
    std::atomic<std::uint64_t> reconnects_{0};
    std::atomic<std::uint64_t> failedWrites_{0};
    bool notified_ = false;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    std::mutex mutex_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;  // last: started once everything above is ready
};

}  // namespace zuno::service
