#include "lookup_reply.h"
#include "number_lookup.h"

#include <benchmark/benchmark.h>

#include <array>
#include <string_view>

namespace {

const zuno::service::NumberLookup &lookup()
{
    static const zuno::service::NumberLookup instance;
    return instance;
}

// The whole answer to one title as the service computes it: decode, normalise, classify,
// geocode, carrier and area code, build the reply and encode it in GBK.
void measureReply(benchmark::State &state, std::string_view title)
{
    const auto &numbers = lookup();
    for (auto _ : state)
        benchmark::DoNotOptimize(zuno::service::lookupReplyBody(numbers, title));
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
        benchmark::DoNotOptimize(zuno::service::lookupReplyBody(numbers, kTitles[next]));
        next = (next + 1) % kTitles.size();
    }
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

BENCHMARK_MAIN();
