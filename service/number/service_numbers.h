// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <span>
#include <string_view>

namespace zuno::service {

enum class ShortNumberKind { Emergency, Service };

// A well-known nationwide short number and who answers it, or what it is for.
struct ServiceNumber {
    std::string_view digits;
    ShortNumberKind kind;
    std::u16string_view owner;
};

// The row of a short number, or nullptr when it is not listed: emergency numbers, the carriers'
// and the banks' service lines, the government's 12xxx lines and 114. Several (122, the 12xxx
// lines) are missing from libphonenumber's short-number data for CN, so a number listed here is
// valid whatever that data says.
const ServiceNumber *findServiceNumber(std::string_view digits);

// Whether digits are an SMS service port: 106 and 5 to 17 more digits, the numbers that
// companies' and institutions' text messages come from, never a fixed line of Beijing (010).
bool isSmsPort(std::string_view digits);
inline constexpr size_t kLongestSmsPort = 20;

// The length of the carriers' dialling prefix (17951, 12593, 17911, 10193) that digits begin
// with when a whole number of 10 digits or more follows it, as people copy a number dialled
// that way; 0 otherwise.
size_t callPrefixLength(std::string_view digits);

}  // namespace zuno::service
