// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/segment_table.h"

#include <atomic>
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

private:
    std::atomic<std::shared_ptr<const SegmentTable>> current_;
};

}  // namespace zuno::service
