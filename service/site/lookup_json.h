#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

struct LookupOutcome;

// One field of the API's answer: its name and its UTF-8 text, nothing for null; "valid" is the
// one boolean, as "true" or "false".
struct LookupField {
    std::string_view name;
    std::optional<std::string> text;
};
inline constexpr size_t kLookupFieldCount = 11;
inline constexpr size_t kValidField = 3;
using LookupFields = std::array<LookupField, kLookupFieldCount>;

// The API's fields in the order it documents them: input, number, e164, valid, location,
// areaCode, carrier, type, owner, label and message, null where the outcome does not know;
// message says what is wrong with an input that is not a usable number, and is null otherwise.
// The JSON answer and the batch's CSV and JSON Lines rows are all written from these.
LookupFields lookupFields(const LookupOutcome &outcome, std::u16string_view title);

// The fields as one JSON object in UTF-8, on one line.
std::string lookupJson(const LookupFields &fields);
std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title);

// {"error": message} for a request the API cannot answer.
std::string jsonError(std::string_view message);

}  // namespace zuno::service
