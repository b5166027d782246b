// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/categories.h"
#include "labels/label_rules.h"
#include "labels/label_snapshot.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zuno::service {

// One network's report, as the store keeps it.
struct StoredReport {
    std::string number;   // E.164, "+8613800138000"
    std::string network;  // the network's key, never its address
    Category category = Category::Harassment;
    std::string comment;          // UTF-8, checked by the caller
    std::int64_t reportedAt = 0;  // Unix seconds
};

// One network's report of where a mobile number block is.
struct StoredPlace {
    std::string block;    // the block's first 7 digits, "1991234"
    std::string network;  // the network's key, never its address
    std::string place;    // UTF-8, as answers show it: "广东省深圳市"
};

// How a write ended.
struct WriteOutcome {
    enum class Result : std::uint8_t {
        Created,      // a first report from this network
        Replaced,     // it replaced this network's earlier report
        Withdrawn,    // the network's report is gone
        NotFound,     // the network had no report to withdraw
        RateLimited,  // the network made its reports for the day
        Unavailable,  // the database failed: nothing was written
    };
    Result result = Result::Unavailable;
    StoredReport report;                // for Created and Replaced
    std::chrono::seconds retryAfter{};  // for RateLimited and Unavailable
};

// What the result page shows of a number beyond its label.
struct NumberDetails {
    struct Comment {
        Category category;
        std::string text;
        Day day;
    };
    bool available = false;  // false: the database could not be read, or not in time
    bool late = false;       // not read within LabelStore::kDetailsWait
    std::array<std::uint32_t, kCategoryCount> counts{};  // recent reports by category
    std::optional<Day> lastReported;
    std::vector<Comment> comments;  // newest first
};

// The store's state, as the metrics show it.
struct StoreHealth {
    std::string_view store;          // "sqlite" or "postgresql"
    bool up = false;                 // its database takes reports now
    std::uint64_t reconnects = 0;    // connections made again after one was lost
    std::uint64_t failedWrites = 0;  // writes answered Unavailable
};

// Where reports are kept. Every call returns at once; `done` runs later on the store's own
// thread, after the write has committed (or failed), and must not block. Lookups never call
// the store: they read board(), which the store brings up to date after each committed write.
class LabelStore
{
public:
    virtual ~LabelStore() = default;

    // The most reports one network makes in a day.
    static constexpr unsigned kReportsADay = 20;
    // Newest comments shown for a number.
    static constexpr size_t kShownComments = 20;
    // The most details() makes a page wait: past it, the page goes without them (a lock held
    // on the reports, a server that stopped answering), its label coming from the board.
    static constexpr std::chrono::milliseconds kDetailsWait{500};

    virtual void report(StoredReport report, std::function<void(WriteOutcome)> done) = 0;
    virtual void withdraw(std::string number, std::string network,
                          std::function<void(WriteOutcome)> done) = 0;
    // A network's place for a block, counted with its reports against kReportsADay; its
    // withdrawal. The board's places follow once committed.
    virtual void reportPlace(StoredPlace place, std::function<void(WriteOutcome)> done) = 0;
    virtual void withdrawPlace(std::string block, std::string network,
                               std::function<void(WriteOutcome)> done) = 0;
    // Answered within kDetailsWait, without details (late) when the database has not read them.
    virtual void details(std::string number, std::function<void(NumberDetails)> done) = 0;
    // Builds the snapshot afresh from the database (reports age day by day); then done().
    virtual void refresh(std::function<void()> done) = 0;

    virtual const LabelBoard &board() const = 0;
    virtual const LabelRules &rules() const = 0;
    // Any thread may ask, at any time.
    virtual StoreHealth health() const = 0;
};

}  // namespace zuno::service
