// SPDX-License-Identifier: Apache-2.0
#include "labels/label_snapshot.h"

#include <algorithm>
#include <charconv>

namespace zuno::service {
namespace {

// Changes kept apart from the sorted arrays before they are merged into new ones: each lookup
// searches them too, and each change copies them.
constexpr size_t kMostRecentChanges = 4096;
// The bucket index stays within 16 MiB.
constexpr size_t kMostBuckets = size_t{1} << 22;

// Tells the threads' cached references which publication is the latest, across boards.
std::atomic<std::uint64_t> publications{0};

bool byNumber(const LabelSnapshot::Change &change, NumberKey number)
{
    return change.number < number;
}

}  // namespace

std::optional<NumberKey> numberKey(std::string_view e164)
{
    if (e164.size() < 2 || e164.front() != '+')
        return std::nullopt;
    NumberKey key = 0;
    const auto [end, error] = std::from_chars(e164.data() + 1, e164.data() + e164.size(), key);
    if (error != std::errc() || end != e164.data() + e164.size())
        return std::nullopt;
    return key;
}

std::optional<BlockKey> mobileBlock(std::string_view e164)
{
    constexpr std::string_view kMobile = "+861";
    if (e164.size() != 14 || !e164.starts_with(kMobile))
        return std::nullopt;
    BlockKey key = 0;
    const auto [end, error] = std::from_chars(e164.data() + 3, e164.data() + 10, key);
    if (error != std::errc() || end != e164.data() + 10)
        return std::nullopt;
    return key;
}

LabelSnapshot::LabelSnapshot(std::vector<NumberKey> numbers, std::vector<Entry> entries,
                             std::vector<std::string> sources)
    : base_(std::make_shared<Base>(
          Base{std::move(numbers), std::move(entries), std::move(sources), {}, 0, 0}))
{
    base_->numbers.shrink_to_fit();
    base_->entries.shrink_to_fit();
    const auto &sorted = base_->numbers;
    if (sorted.empty())
        return;
    // About one bucket a number, a power of two of them: a bucket holds a cache line or two.
    size_t count = 1;
    while (count < sorted.size() && count < kMostBuckets)
        count *= 2;
    const NumberKey lowest = sorted.front();
    const NumberKey span = sorted.back() - lowest;
    unsigned shift = 0;
    while ((span >> shift) >= count)
        ++shift;
    base_->lowest = lowest;
    base_->shift = shift;
    base_->buckets.assign((span >> shift) + 2, 0);
    size_t at = 0;
    for (size_t bucket = 0; bucket + 1 < base_->buckets.size(); ++bucket) {
        base_->buckets[bucket] = static_cast<std::uint32_t>(at);
        while (at < sorted.size() && ((sorted[at] - lowest) >> shift) == bucket)
            ++at;
    }
    base_->buckets.back() = static_cast<std::uint32_t>(sorted.size());
}

const LabelSnapshot::Entry *LabelSnapshot::lookupEntry(NumberKey number, bool &removed) const
{
    removed = false;
    if (!recent_.empty()) {
        const auto change = std::lower_bound(recent_.begin(), recent_.end(), number, byNumber);
        if (change != recent_.end() && change->number == number) {
            removed = !change->entry;
            return change->entry ? &*change->entry : nullptr;
        }
    }
    const Base &base = *base_;
    if (base.buckets.empty() || number < base.lowest)
        return nullptr;
    const NumberKey bucket = (number - base.lowest) >> base.shift;
    if (bucket + 1 >= base.buckets.size())
        return nullptr;
    const auto &numbers = base.numbers;
    const auto first = numbers.begin() + base.buckets[bucket];
    const auto last = numbers.begin() + base.buckets[bucket + 1];
    const auto found = std::lower_bound(first, last, number);
    if (found == last || *found != number)
        return nullptr;
    return &base_->entries[static_cast<size_t>(found - numbers.begin())];
}

std::optional<ShownLabel> LabelSnapshot::find(NumberKey number) const
{
    bool removed = false;
    const Entry *entry = lookupEntry(number, removed);
    if (!entry)
        return std::nullopt;
    ShownLabel shown{{entry->category, entry->reporters, entry->lastReported, entry->contested},
                     {}};
    if (entry->source > 0 && entry->source <= base_->sources.size())
        shown.source = base_->sources[entry->source - 1];
    return shown;
}

std::shared_ptr<const LabelSnapshot> LabelSnapshot::with(const std::vector<Change> &changes) const
{
    auto next = std::make_shared<LabelSnapshot>(*this);
    for (const Change &change : changes) {
        const auto at =
            std::lower_bound(next->recent_.begin(), next->recent_.end(), change.number, byNumber);
        if (at != next->recent_.end() && at->number == change.number)
            at->entry = change.entry;
        else
            next->recent_.insert(at, change);
    }
    if (next->recent_.size() <= kMostRecentChanges)
        return next;

    // Merge the changes into new arrays, which this snapshot's readers do not share.
    Base merged{{}, {}, base_->sources, {}, 0, 0};
    merged.numbers.reserve(base_->numbers.size() + next->recent_.size());
    merged.entries.reserve(merged.numbers.capacity());
    size_t i = 0;
    for (const Change &change : next->recent_) {
        while (i < base_->numbers.size() && base_->numbers[i] < change.number) {
            merged.numbers.push_back(base_->numbers[i]);
            merged.entries.push_back(base_->entries[i]);
            ++i;
        }
        if (i < base_->numbers.size() && base_->numbers[i] == change.number)
            ++i;
        if (change.entry) {
            merged.numbers.push_back(change.number);
            merged.entries.push_back(*change.entry);
        }
    }
    for (; i < base_->numbers.size(); ++i) {
        merged.numbers.push_back(base_->numbers[i]);
        merged.entries.push_back(base_->entries[i]);
    }
    auto compacted = std::make_shared<LabelSnapshot>(
        std::move(merged.numbers), std::move(merged.entries), std::move(merged.sources));
    compacted->places_ = places_;
    return compacted;
}

const std::string *LabelSnapshot::placeOf(BlockKey block) const
{
    const auto found = std::lower_bound(places_->begin(), places_->end(), block,
                                        [](const std::pair<BlockKey, std::string> &entry,
                                           BlockKey key) { return entry.first < key; });
    return found != places_->end() && found->first == block ? &found->second : nullptr;
}

std::shared_ptr<const LabelSnapshot>
LabelSnapshot::withPlaces(std::shared_ptr<const BlockPlaces> places) const
{
    auto next = std::make_shared<LabelSnapshot>(*this);
    next->places_ = std::move(places);
    return next;
}

size_t LabelSnapshot::size() const
{
    size_t count = base_->numbers.size();
    for (const Change &change : recent_) {
        const bool inBase =
            std::binary_search(base_->numbers.begin(), base_->numbers.end(), change.number);
        count += (change.entry && !inBase) ? 1 : 0;
        count -= (!change.entry && inBase) ? 1 : 0;
    }
    return count;
}

size_t LabelSnapshot::memoryBytes() const
{
    return base_->numbers.capacity() * sizeof(NumberKey) +
        base_->entries.capacity() * sizeof(Entry) +
        base_->buckets.capacity() * sizeof(std::uint32_t) + recent_.capacity() * sizeof(Change);
}

LabelBoard::LabelBoard()
    : snapshot_(std::make_shared<const LabelSnapshot>()), generation_(++publications)
{}

const LabelSnapshot &LabelBoard::current() const
{
    struct Cached {
        const LabelBoard *board = nullptr;
        std::uint64_t generation = 0;
        std::shared_ptr<const LabelSnapshot> snapshot;
    };
    thread_local Cached cached;
    const std::uint64_t generation = generation_.load(std::memory_order_acquire);
    if (cached.board != this || cached.generation != generation) {
        std::shared_ptr<const LabelSnapshot> latest = shared();
        cached = {this, generation, std::move(latest)};
    }
    return *cached.snapshot;
}

std::shared_ptr<const LabelSnapshot> LabelBoard::shared() const
{
    const std::lock_guard lock(mutex_);
    return snapshot_;
}

void LabelBoard::publish(std::shared_ptr<const LabelSnapshot> snapshot)
{
    {
        const std::lock_guard lock(mutex_);
        snapshot_ = std::move(snapshot);
        generation_.store(++publications, std::memory_order_release);
    }
}

}  // namespace zuno::service
