#pragma once

#include "label_snapshot.h"

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

struct LookupOutcome;

// The JSON API's answer, one object in UTF-8: input, number, e164, valid, location, areaCode,
// carrier, type, owner and message, null where the outcome does not know; message says what is
// wrong with an input that is not a usable number, and is null otherwise. Then label: category,
// reporters, lastReported, contested and source (null for the community's own), or null.
std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title,
                       const std::optional<ShownLabel> &label);

// A label as the API writes it, an object in UTF-8.
std::string labelJson(const ShownLabel &label);

// {"error": message} for a request the API cannot answer.
std::string jsonError(std::string_view message);

}  // namespace zuno::service
