// SPDX-License-Identifier: Apache-2.0
// The counts each worker thread keeps for /metrics, and the process's facts beside them.
#pragma once

#include "labels/label_store.h"
#include "number/number_lookup.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// A count written by one thread only and read by any: a relaxed load and store, no locked
// instruction on the request path.
class Counter
{
public:
    void add(std::uint64_t amount = 1)
    {
        value_.store(value_.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
    std::uint64_t value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

// Upper bounds of the request-latency histogram's buckets, in microseconds.
inline constexpr std::array<std::uint64_t, 14> kLatencyBoundsMicroseconds = {
    100,    250,    500,     1'000,   2'500,     5'000,     10'000,
    25'000, 50'000, 100'000, 250'000, 1'000'000, 5'000'000, 30'000'000};

// One server thread's counts; the scrape adds up every thread's. Aligned so that two threads
// never write to one cache line.
struct alignas(64) ThreadMetrics {
    static constexpr size_t kStatusClasses = 5;  // 1xx to 5xx

    // Requests of one route label, by status class.
    struct alignas(64) RouteRequests {
        std::array<Counter, kStatusClasses> byClass;
    };

    // Counts requests of as many route labels as the router has.
    explicit ThreadMetrics(size_t routeLabels) : requests(routeLabels) {}

    // Takes the whole time from the request head to the last byte of its answer.
    void countRequest(size_t routeLabel, unsigned status,
                      std::chrono::steady_clock::duration taken);

    std::vector<RouteRequests> requests;  // by route label
    std::array<Counter, kVerdictCount> lookups;
    // Not cumulative: a request counts in the first bucket whose bound it does not exceed, or
    // in the last one, past every bound.
    std::array<Counter, kLatencyBoundsMicroseconds.size() + 1> latency;
    Counter latencyNanoseconds;
    Counter connectionsOpened;
    Counter connectionsClosed;
    Counter connectionsRefused;
    Counter bytesSent;
};

struct ProcessFacts {
    std::string_view version;
    std::chrono::system_clock::time_point started;
    bool draining = false;
    const LabelStore *labels = nullptr;  // none: labels are off
    const SegmentStore *segments = nullptr;
    std::optional<size_t> downloadsOffered;  // none: no downloads folder
};

// Every thread's metrics added up, in the Prometheus text exposition format (version 0.0.4);
// routeLabels names the threads' requests.
std::string metricsText(const std::vector<const ThreadMetrics *> &threads,
                        const std::vector<std::string> &routeLabels, const ProcessFacts &process);

}  // namespace zuno::service
