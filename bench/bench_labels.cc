// SPDX-License-Identifier: Apache-2.0
// Community labels: window lookups with 1,000,000 labelled numbers in the snapshot against none,
// the snapshot's bytes per labelled number, start-up on a database that holds them, and reports
// per second with their p99 under synchronous=FULL and NORMAL.
#include "site/lookup/lookup_reply.h"
#include "site/lookup/lookup_routes.h"
#include "site/site.h"
#include "store/reporter_secret.h"
#include "store/sqlite/sqlite_store.h"
#include "text/gbk_codec.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

namespace {

using namespace zuno::service;
namespace fs = std::filesystem;

constexpr int kLabelled = 1'000'000;
constexpr std::int64_t kFirstNumber = 13900000000;

fs::path benchFolder()
{
    const char *tmp = std::getenv("TMPDIR");
    return fs::path(tmp ? tmp : "/tmp") / "zuno-bench-labels";
}

// A database in which kLabelled numbers each have three reports from three networks.
fs::path labelledDatabase()
{
    const fs::path path = benchFolder() / "million.sqlite3";
    fs::create_directories(benchFolder());
    // Made before the reports, as the service makes it: a file with reports needs its key.
    reporterSecret(secretPathOf(path));
    if (fs::exists(path))
        return path;
    SqliteConnection connection(path, SqliteConnection::Durability::Normal);
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    connection.execute("BEGIN");
    auto &insert = connection.statement(
        "INSERT INTO reports (number, network, category, comment, reported_at, day) "
        "VALUES (?1, ?2, '骚扰电话', '', ?3, ?4)");
    for (int i = 0; i < kLabelled; ++i) {
        const std::string number = "+86" + std::to_string(kFirstNumber + i);
        for (const char *network : {"a", "b", "c"}) {
            SqliteStatement::Use use(insert);
            use.bind(1, number)
                .bind(2, std::string_view(network))
                .bind(3, now)
                .bind(4, std::int64_t{chinaDay(now)});
            use.step();
        }
    }
    connection.execute("COMMIT");
    return path;
}

const Site &millionLabelSite()
{
    static SqliteStore store({labelledDatabase(), {}, {}, {}});
    static const Site site = [] {
        SiteLabels labels;
        labels.store = &store;
        return Site({}, std::move(labels));
    }();
    return site;
}

// The window's lookup of 10,000 different mobile numbers, with the million labels in the
// snapshot (labels:1) or none (labels:0), of numbers that have a label there (labelled:1: the
// reply carries it) or not.
void BM_WindowLookup(benchmark::State &state)
{
    static const Site withoutLabels;
    const Site &site = state.range(0) == 1 ? millionLabelSite() : withoutLabels;
    const std::int64_t first = state.range(1) == 1 ? kFirstNumber : kFirstNumber - 200'000'000;
    std::vector<std::string> titles;
    for (int i = 0; i < 10000; ++i)
        titles.push_back(std::to_string(first + i * 97));
    size_t next = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(windowReply(site, titles[next++ % titles.size()]));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowLookup)->ArgNames({"labels", "labelled"})->ArgsProduct({{0, 1}, {0, 1}});

void BM_StartUpWithAMillionLabels(benchmark::State &state)
{
    const fs::path path = labelledDatabase();
    for (auto _ : state) {
        SqliteStore store({path, {}, {}, {}});
        const auto &snapshot = store.board().current();
        state.counters["labelled"] = static_cast<double>(snapshot.size());
        state.counters["bytes_per_label"] =
            static_cast<double>(snapshot.memoryBytes()) / static_cast<double>(snapshot.size());
    }
}
BENCHMARK(BM_StartUpWithAMillionLabels)->Unit(benchmark::kMillisecond)->Iterations(3);

// Reports from `concurrent` clients at once, each waiting for its answer; the store's thread
// is the one core.
void BM_Reports(benchmark::State &state)
{
    const bool full = state.range(0) == 1;
    const auto concurrent = static_cast<size_t>(state.range(1));
    const fs::path path = benchFolder() / (full ? "full.sqlite3" : "normal.sqlite3");
    for (const char *suffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + suffix);
    SqliteStore store(
        {path,
         {},
         full ? SqliteConnection::Durability::Full : SqliteConnection::Durability::Normal,
         {}});
    std::vector<double> latencies;
    std::int64_t next = 0;
    for (auto _ : state) {
        std::vector<std::promise<void>> answered(concurrent);
        std::vector<std::chrono::steady_clock::time_point> sent(concurrent);
        for (size_t i = 0; i < concurrent; ++i) {
            sent[i] = std::chrono::steady_clock::now();
            StoredReport report{"+86" + std::to_string(kFirstNumber + next), std::to_string(next),
                                Category::Fraud, "bench", 0};
            ++next;
            store.report(std::move(report), [&, i](WriteOutcome) {
                latencies.push_back(std::chrono::duration<double, std::micro>(
                                        std::chrono::steady_clock::now() - sent[i])
                                        .count());
                answered[i].set_value();
            });
        }
        for (auto &promise : answered)
            promise.get_future().wait();
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["reports_per_s"] =
        benchmark::Counter(static_cast<double>(latencies.size()), benchmark::Counter::kIsRate);
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
}
BENCHMARK(BM_Reports)
    ->ArgNames({"full", "concurrent"})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 32})
    ->Args({0, 32})
    ->UseRealTime()
    ->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
