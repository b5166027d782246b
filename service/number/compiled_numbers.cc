// SPDX-License-Identifier: Apache-2.0
#include "number/compiled_numbers.h"

#include <algorithm>

namespace zuno::service {

const CompiledAnswer *CompiledNumbers::find(std::string_view significant) const
{
    if (significant.size() != 11 || significant[0] != '1')
        return nullptr;
    std::uint32_t block = 0;
    for (size_t i = 0; i < 7; ++i) {
        const unsigned digit = static_cast<unsigned char>(significant[i]) - '0';
        if (digit > 9)
            return nullptr;
        block = block * 10 + digit;
    }
    const auto after = std::upper_bound(
        ranges_.begin(), ranges_.end(), block,
        [](std::uint32_t key, const CompiledRange &range) { return key < range.firstBlock; });
    static_assert(sizeof(CompiledRange) == 4);
    if (after == ranges_.begin())
        return nullptr;
    const std::uint16_t answer = std::prev(after)->answer;
    return answer == kNotCompiled ? nullptr : &answers_[answer];
}

}  // namespace zuno::service
