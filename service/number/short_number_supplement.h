#pragma once

#include <optional>
#include <string_view>

namespace zuno::service {

enum class ShortNumberKind { Emergency, Service };

// Nationwide short numbers that libphonenumber's short-number data for CN does not list
// (its 8.12 data knows 110, 119, 120, the operators' 100xx and the banks' 95xxx, but not 122
// nor the 12xxx public-service lines).
std::optional<ShortNumberKind> supplementaryShortNumber(std::string_view digits);

}  // namespace zuno::service
