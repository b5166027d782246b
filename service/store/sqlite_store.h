// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "label_store.h"
#include "sqlite_connection.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

namespace zuno::service {

// The label store in one SQLite file. Its own thread owns the connection: writes queued from
// any thread are committed in batches (one transaction, one sync for all the reports that
// arrived together), answered only once committed, and their numbers' labels published on the
// board before the answers go out. When the database fails while serving, writes answer
// Unavailable (logged once) and the board keeps what it had. Changes made by other processes
// (the labels commands) and the passing of days rebuild the board within a second.
class SqliteStore final : public LabelStore
{
public:
    struct Options {
        std::filesystem::path path;
        LabelRules rules;
        SqliteConnection::Durability durability = SqliteConnection::Durability::Full;
        // Unix seconds now; tests move it to age reports.
        std::function<std::int64_t()> clock;
    };

    // Opens and migrates the database and builds the first snapshot before returning; throws
    // SqliteError (one sentence for the operator) when it cannot.
    explicit SqliteStore(Options options);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore &) = delete;
    SqliteStore &operator=(const SqliteStore &) = delete;

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
        return {"sqlite", !failing_, reconnects_, failedWrites_};
    }

private:
    struct Write {
        bool withdraw = false;
        StoredReport report;
        std::function<void(WriteOutcome)> done;
        std::optional<StoredPlace> place;  // set for a block's place: report is unused
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
    void commitWrites(std::vector<Write> &writes);
    WriteOutcome apply(const Write &write, std::int64_t now);
    WriteOutcome applyPlace(const Write &write, std::int64_t now);
    // Whether the network made its reports for the day; counts this one when not.
    std::optional<WriteOutcome> overDailyLimit(const std::string &network, std::int64_t now);
    // The places agreed on today, from every block's recent reports.
    std::shared_ptr<const BlockPlaces> agreedPlaces(Day today);
    NumberDetails readDetails(const std::string &number);
    std::optional<LabelSnapshot::Entry> entryOf(const std::string &number, Day today);
    void rebuild();
    // Changes when another connection commits: a labels command run beside the service.
    std::int64_t dataVersion();
    void failed(const std::exception &error);
    std::int64_t now() const;

    Options options_;
    SqliteConnection connection_;
    LabelBoard board_;
    Day builtFor_ = 0;
    std::int64_t builtVersion_ = 0;
    // Written by the store's thread, read by the metrics.
    std::atomic<bool> failing_{false};
    std::atomic<std::uint64_t> reconnects_{0};
    std::atomic<std::uint64_t> failedWrites_{0};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;  // last: started once everything above is ready
};

}  // namespace zuno::service
