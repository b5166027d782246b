#pragma once

#include <string>
#include <string_view>

namespace zuno::service {

struct LookupOutcome;

// The JSON API's answer, one object in UTF-8: input, number, e164, valid, location, areaCode,
// carrier, type, owner and message, null where the outcome does not know; message says what is
// wrong with an input that is not a usable number, and is null otherwise.
std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title);

// {"error": message} for a request the API cannot answer.
std::string jsonError(std::string_view message);

}  // namespace zuno::service
