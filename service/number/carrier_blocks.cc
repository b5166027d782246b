// SPDX-License-Identifier: Apache-2.0
#include "number/carrier_blocks.h"

#include <algorithm>

namespace zuno::service {
namespace {

constexpr CarrierBlock kBlocks[] = {
#include "number/carrier_blocks.inc"
};

constexpr bool lessByPrefix(const CarrierBlock &a, const CarrierBlock &b)
{
    return a.prefix < b.prefix;
}

static_assert(std::is_sorted(std::begin(kBlocks), std::end(kBlocks), lessByPrefix) &&
                  std::adjacent_find(std::begin(kBlocks), std::end(kBlocks),
                                     [](const CarrierBlock &a, const CarrierBlock &b) {
                                         return a.prefix == b.prefix;
                                     }) == std::end(kBlocks),
              "carrier blocks sorted by prefix, each prefix once");

constexpr size_t kLongestPrefix =
    std::max_element(std::begin(kBlocks), std::end(kBlocks),
                     [](const CarrierBlock &a, const CarrierBlock &b) {
                         return a.prefix.size() < b.prefix.size();
                     })
        ->prefix.size();

// The ministry's allocations to virtual operators, the one place they are listed.
constexpr std::string_view kVirtualOperatorPrefixes[] = {"162", "165", "167", "170", "171"};

}  // namespace

std::span<const CarrierBlock> carrierBlocks() { return kBlocks; }

std::u16string_view carrierOf(std::string_view significant)
{
    for (size_t length = std::min(kLongestPrefix, significant.size()); length > 0; --length) {
        const CarrierBlock key{significant.substr(0, length), {}};
        const auto found =
            std::lower_bound(std::begin(kBlocks), std::end(kBlocks), key, lessByPrefix);
        if (found != std::end(kBlocks) && found->prefix == key.prefix)
            return found->carrier;
    }
    return {};
}

bool isVirtualOperatorBlock(std::string_view significant)
{
    return significant.size() == 11 &&
        std::any_of(std::begin(kVirtualOperatorPrefixes), std::end(kVirtualOperatorPrefixes),
                    [&](std::string_view prefix) { return significant.starts_with(prefix); });
}

}  // namespace zuno::service
