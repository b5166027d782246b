// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_rules.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zuno::service {

// A number as the snapshot keys it: the digits of its E.164 form, 8613800138000.
using NumberKey = std::uint64_t;
// The key of "+8613800138000"; nothing for anything that is not "+" and digits.
std::optional<NumberKey> numberKey(std::string_view e164);

// A mobile number block as the snapshot keys places: its first 7 digits, 1991234.
using BlockKey = std::uint32_t;
// The places the community agreed on, by block, sorted by block.
using BlockPlaces = std::vector<std::pair<BlockKey, std::string>>;  // UTF-8

// The block of a mainland mobile number, "+8619912345678" → 1991234; nothing for others.
std::optional<BlockKey> mobileBlock(std::string_view e164);

// A label as answers show it: the community's, or one imported from a list (source set).
struct ShownLabel {
    Label label;
    std::string source;  // empty for the community's label
};

// The labelled numbers at one moment, for lookups: keys in one sorted array and their labels in
// another (20 bytes a number, and up to 8 more for an index into the keys), plus the few changes
// since it was last compacted. Never changed once published.
class LabelSnapshot
{
public:
    struct Entry {
        Day lastReported = 0;
        std::uint32_t reporters = 0;
        Category category = Category::Harassment;
        bool contested = false;
        std::uint16_t source = 0;  // 0: the community; n: sources()[n - 1]
    };
    static_assert(sizeof(Entry) == 12);

    // One number's label, or none: its removal from the snapshot.
    struct Change {
        NumberKey number;
        std::optional<Entry> entry;
    };

    LabelSnapshot() = default;
    // From entries sorted by number, each number once.
    LabelSnapshot(std::vector<NumberKey> numbers, std::vector<Entry> entries,
                  std::vector<std::string> sources);

    std::optional<ShownLabel> find(NumberKey number) const;
    // The community's place of a block; null when it agreed on none.
    const std::string *placeOf(BlockKey block) const;
    // This snapshot with these places instead of its own.
    std::shared_ptr<const LabelSnapshot>
    withPlaces(std::shared_ptr<const BlockPlaces> places) const;
    // A snapshot with these changes on top; compacted when they grow many.
    std::shared_ptr<const LabelSnapshot> with(const std::vector<Change> &changes) const;

    size_t size() const;
    // Bytes held for the labelled numbers.
    size_t memoryBytes() const;
    const std::vector<std::string> &sources() const { return base_->sources; }

private:
    struct Base {
        std::vector<NumberKey> numbers;
        std::vector<Entry> entries;
        std::vector<std::string> sources;
        // Where each run of numbers sharing (number - lowest) >> shift begins in numbers, so
        // that a search touches a few cache lines instead of twenty: buckets[b] .. buckets[b + 1].
        std::vector<std::uint32_t> buckets;
        NumberKey lowest = 0;
        unsigned shift = 0;
    };
    const Entry *lookupEntry(NumberKey number, bool &removed) const;
    std::shared_ptr<Base> base_ = std::make_shared<Base>();
    std::vector<Change> recent_;  // sorted by number
    std::shared_ptr<const BlockPlaces> places_ = std::make_shared<const BlockPlaces>();
};

// Where lookups find the current snapshot: each thread keeps its own reference and takes the
// new one only when a later one is published, so that a lookup costs one atomic load.
class LabelBoard
{
public:
    LabelBoard();
    const LabelSnapshot &current() const;
    std::shared_ptr<const LabelSnapshot> shared() const;
    void publish(std::shared_ptr<const LabelSnapshot> snapshot);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const LabelSnapshot> snapshot_;
    std::atomic<std::uint64_t> generation_;
};

}  // namespace zuno::service
