// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <span>
#include <string_view>

namespace zuno::service {

// The mobile numbers whose national significant number begins with prefix, and the carrier the
// block was allocated to (a number moved to another carrier since keeps its block's).
struct CarrierBlock {
    std::string_view prefix;
    std::u16string_view carrier;
};

// Every block of data/cn-carrier-blocks.tsv, compiled in, in the order of their prefixes.
std::span<const CarrierBlock> carrierBlocks();

// The carrier of the block that holds a national significant number, the longest prefix winning
// (153 is 中国电信 though 15 is 中国移动); empty when no block holds it.
std::u16string_view carrierOf(std::string_view significant);

// Whether a national significant number is in a block that 工业和信息化部 allocated to mobile
// virtual network operators (移动通信转售企业), which resell a host carrier's network: 170 and 171,
// and 162, 165 and 167. The carrier table names the host carrier of most of them.
bool isVirtualOperatorBlock(std::string_view significant);

}  // namespace zuno::service
