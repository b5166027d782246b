// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zuno::service {

// What a caller is, as people report it. The last is evidence for the number, the others
// against it.
enum class Category : std::uint8_t {
    Harassment,
    Fraud,
    Advertising,
    RealEstate,
    Finance,
    Recruiting,
    Delivery,
    CustomerService,
    Normal,
};

// The one list of categories, in the order pages and forms show them (UTF-8).
inline constexpr std::array<std::string_view, 9> kCategoryNames = {
    "骚扰电话", "诈骗电话", "广告推销", "房产中介", "保险理财",
    "招聘猎头", "快递外卖", "客服热线", "正常来电",
};
inline constexpr size_t kCategoryCount = kCategoryNames.size();

inline std::string_view categoryName(Category category)
{
    return kCategoryNames[static_cast<size_t>(category)];
}

// The category of a name exactly as listed; nothing for any other text.
inline std::optional<Category> categoryNamed(std::string_view name)
{
    for (size_t i = 0; i < kCategoryCount; ++i)
        if (kCategoryNames[i] == name)
            return static_cast<Category>(i);
    return std::nullopt;
}

}  // namespace zuno::service
