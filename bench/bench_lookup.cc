// SPDX-License-Identifier: Apache-2.0
#include "number/carrier_blocks.h"
#include "number/number_lookup.h"
#include "number/segment_store.h"
#include "site/lookup/lookup_routes.h"
#include "site/site.h"

#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

namespace {

const zuno::service::Site &lookup()
{
    static const zuno::service::Site instance;
    return instance;
}

// The whole answer to one title as the service computes it: decode, normalise, classify,
// geocode, carrier and area code, build the reply and encode it in GBK.
void measureReply(benchmark::State &state, std::string_view title)
{
    const auto &numbers = lookup();
    for (auto _ : state)
        benchmark::DoNotOptimize(zuno::service::windowReply(numbers, title));
}

void BM_Mobile(benchmark::State &state) { measureReply(state, "13800138000"); }
void BM_MobileWithCountryCode(benchmark::State &state)
{
    measureReply(state, "%2B86%20138-0013-8000");
}
void BM_FixedLine(benchmark::State &state) { measureReply(state, "0755-12345678"); }
void BM_ShortNumber(benchmark::State &state) { measureReply(state, "10086"); }
void BM_InvalidNumber(benchmark::State &state) { measureReply(state, "12345678901"); }
void BM_Letters(benchmark::State &state) { measureReply(state, "abc"); }

// A mix that defeats any per-number effect: different prefixes, areas and kinds in turn.
void BM_Mix(benchmark::State &state)
{
    static constexpr std::array<std::string_view, 8> kTitles{
        "13800138000",  "13912345678",  "18612345678", "010-12345678",
        "075512345678", "0931-8888888", "4008123123",  "110"};
    const auto &numbers = lookup();
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(zuno::service::windowReply(numbers, kTitles[next]));
        next = (next + 1) % kTitles.size();
    }
}

// A segment file of 500,000 seven-digit blocks over the carrier table's blocks, written once.
constexpr size_t kSegmentRows = 500'000;
const std::filesystem::path &segmentFile()
{
    static const std::filesystem::path path = [] {
        const char *const kCities[][2] = {
            {"广东省", "深圳市"}, {"广东省", "广州市"}, {"北京市", "北京市"},
            {"上海市", "上海市"}, {"江苏省", "南京市"}, {"浙江省", "杭州市"},
            {"四川省", "成都市"}, {"湖北省", "武汉市"}, {"新疆维吾尔自治区", "乌鲁木齐市"},
            {"贵州省", "遵义市"}};
        std::filesystem::path file =
            std::filesystem::temp_directory_path() / "zuno-bench-segments.csv";
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "# source: bench; date: "
               "2026-12-01\nprefix,province,city,area_code,carrier,virtual\n";
        size_t rows = 0;
        for (int block = 1300000; rows < kSegmentRows && block <= 1999999; ++block) {
            const std::string prefix = std::to_string(block);
            if (zuno::service::carrierOf(prefix).empty())
                continue;
            const auto &city = kCities[rows % std::size(kCities)];
            out << prefix << ',' << city[0] << ',' << city[1] << ",,,\n";
            ++rows;
        }
        if (!out.flush())
            throw std::runtime_error("cannot write " + file.string());
        return file;
    }();
    return path;
}

// Mobiles of random blocks of the carrier table, the same for both lookups below.
const std::vector<std::string> &mobiles()
{
    static const std::vector<std::string> titles = [] {
        std::vector<std::string> made;
        std::mt19937_64 random(20261207);
        const auto blocks = zuno::service::carrierBlocks();
        for (int i = 0; i < 4096; ++i) {
            std::string digits(blocks[random() % blocks.size()].prefix);
            while (digits.size() < 11)
                digits += static_cast<char>('0' + random() % 10);
            made.push_back(digits);
        }
        return made;
    }();
    return titles;
}

// Mobiles of 139x, which the table of BM_MobilesMissingSegments does not hold.
const std::vector<std::string> &mobiles139()
{
    static const std::vector<std::string> titles = [] {
        std::vector<std::string> made;
        std::mt19937_64 random(20261208);
        for (int i = 0; i < 4096; ++i)
            made.push_back("139" + std::to_string(10000000 + random() % 90000000));
        return made;
    }();
    return titles;
}

void measureMobiles(benchmark::State &state, const zuno::service::Site &numbers,
                    const std::vector<std::string> &titles = mobiles())
{
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(zuno::service::windowReply(numbers, titles[next]));
        next = (next + 1) % titles.size();
    }
}

void BM_MobilesWithoutSegments(benchmark::State &state) { measureMobiles(state, lookup()); }

// The cost of the table alone: 500,000 rows none of which holds the numbers looked up (139x), so
// every lookup searches it and then asks the geocoder as before.
void BM_MobilesMissingSegments(benchmark::State &state)
{
    static zuno::service::SegmentStore store;
    static const zuno::service::Site numbers({}, {}, &store);
    if (!store.current()) {
        const std::filesystem::path file =
            std::filesystem::temp_directory_path() / "zuno-bench-segments-elsewhere.csv";
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "# source: bench; date: "
               "2026-12-01\nprefix,province,city,area_code,carrier,virtual\n";
        for (int block = 1400000; block < 1400000 + static_cast<int>(kSegmentRows); ++block)
            out << block << ",广东省,深圳市,,,\n";
        if (!out.flush())
            throw std::runtime_error("cannot write " + file.string());
        store.replace(zuno::service::SegmentTable::load({file}));
    }
    measureMobiles(state, numbers, mobiles139());
}

void BM_MobilesNoSegmentsSameNumbers(benchmark::State &state)
{
    measureMobiles(state, lookup(), mobiles139());
}

void BM_MobilesWithSegments(benchmark::State &state)
{
    static zuno::service::SegmentStore store;
    static const zuno::service::Site numbers({}, {}, &store);
    if (!store.current())
        store.replace(zuno::service::SegmentTable::load({segmentFile()}));
    measureMobiles(state, numbers);
}

// Taking the table in force, as every mobile lookup does: the store's atomic shared_ptr against
// a copy under a mutex, the other way to hand a reloaded table over.
void BM_SnapshotAtomic(benchmark::State &state)
{
    static zuno::service::SegmentStore store;
    if (state.thread_index() == 0 && !store.current())
        store.replace(std::make_shared<zuno::service::SegmentTable>());
    for (auto _ : state)
        benchmark::DoNotOptimize(store.current());
}

void BM_SnapshotMutex(benchmark::State &state)
{
    static std::mutex mutex;
    static const std::shared_ptr<const zuno::service::SegmentTable> table =
        std::make_shared<zuno::service::SegmentTable>();
    for (auto _ : state) {
        std::shared_ptr<const zuno::service::SegmentTable> copy;
        {
            const std::lock_guard lock(mutex);
            copy = table;
        }
        benchmark::DoNotOptimize(copy);
    }
}

// Reading the 500,000-row file into a table, as at start and at each reload, and what the table
// holds per row.
void BM_LoadSegments(benchmark::State &state)
{
    const std::filesystem::path &file = segmentFile();
    size_t bytes = 0, rows = 0;
    for (auto _ : state) {
        const auto table = zuno::service::SegmentTable::load({file});
        bytes = table->bytes();
        rows = table->rows();
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["bytes_per_row"] = static_cast<double>(bytes) / static_cast<double>(rows);
}

// What the service builds once at start-up: compiled patterns, the geocoder and the maps
// derived from it.
void BM_StartUp(benchmark::State &state)
{
    for (auto _ : state) {
        const zuno::service::NumberLookup built;
        benchmark::DoNotOptimize(&built);
    }
}

}  // namespace

BENCHMARK(BM_StartUp)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Mobile);
BENCHMARK(BM_MobileWithCountryCode);
BENCHMARK(BM_FixedLine);
BENCHMARK(BM_ShortNumber);
BENCHMARK(BM_InvalidNumber);
BENCHMARK(BM_Letters);
BENCHMARK(BM_Mix);
BENCHMARK(BM_MobilesWithoutSegments);
BENCHMARK(BM_MobilesWithSegments);
BENCHMARK(BM_MobilesNoSegmentsSameNumbers);
BENCHMARK(BM_MobilesMissingSegments);
BENCHMARK(BM_SnapshotAtomic)->Threads(1)->Threads(2);
BENCHMARK(BM_SnapshotMutex)->Threads(1)->Threads(2);
BENCHMARK(BM_LoadSegments)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
