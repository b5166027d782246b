#include "short_number_supplement.h"

#include <algorithm>
#include <array>
#include <utility>

namespace zuno::service {
namespace {

using Entry = std::pair<std::string_view, ShortNumberKind>;

// In string order, for the binary search below.
constexpr std::array kSupplement{
    Entry{"12110", ShortNumberKind::Emergency},  // police by text message
    Entry{"12119", ShortNumberKind::Emergency},  // forest fires
    Entry{"12121", ShortNumberKind::Service},    // weather forecast
    Entry{"122", ShortNumberKind::Emergency},    // road traffic accidents
    Entry{"12306", ShortNumberKind::Service},    // railway tickets
    Entry{"12315", ShortNumberKind::Service},    // consumer complaints
    Entry{"12320", ShortNumberKind::Service},    // public health
    Entry{"12333", ShortNumberKind::Service},    // labour and social security
    Entry{"12345", ShortNumberKind::Service},    // city government hotline
    Entry{"12348", ShortNumberKind::Service},    // legal aid
    Entry{"12355", ShortNumberKind::Service},    // youth helpline
    Entry{"12358", ShortNumberKind::Service},    // price complaints
    Entry{"12365", ShortNumberKind::Service},    // product quality
    Entry{"12366", ShortNumberKind::Service},    // tax service
    Entry{"12369", ShortNumberKind::Service},    // environmental complaints
    Entry{"12395", ShortNumberKind::Emergency},  // distress at sea
};

static_assert(std::is_sorted(kSupplement.begin(), kSupplement.end(),
                             [](const Entry &a, const Entry &b) { return a.first < b.first; }));

}  // namespace

std::optional<ShortNumberKind> supplementaryShortNumber(std::string_view digits)
{
    const auto found = std::lower_bound(
        kSupplement.begin(), kSupplement.end(), digits,
        [](const Entry &entry, std::string_view key) { return entry.first < key; });
    if (found == kSupplement.end() || found->first != digits)
        return std::nullopt;
    return found->second;
}

}  // namespace zuno::service
