// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/segment_table.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace zuno::service {

// The segment table lookups read now. A reload builds the next table aside and swaps it in whole;
// a lookup holds the table it took until it is done, so no request sees half of a reload.
class SegmentStore
{
public:
    // The table in force, nullptr while none is loaded.
    std::shared_ptr<const SegmentTable> current() const
    {
        return current_.load(std::memory_order_acquire);
    }
    void replace(std::shared_ptr<const SegmentTable> table)
    {
        current_.store(std::move(table), std::memory_order_release);
    }
    // Reloads that failed, the table in force kept; the metrics show the count.
    void countFailedReload() { failedReloads_.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t failedReloads() const { return failedReloads_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::shared_ptr<const SegmentTable>> current_;
    std::atomic<std::uint64_t> failedReloads_{0};
};

}  // namespace zuno::service
