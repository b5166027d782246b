#include "carrier_blocks.h"

#include <algorithm>

namespace zuno::service {
namespace {

constexpr CarrierBlock kBlocks[] = {
#include "carrier_blocks.inc"
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

}  // namespace zuno::service
