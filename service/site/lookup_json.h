#pragma once

#include "label_snapshot.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

struct DataSet;
struct LookupOutcome;

// The JSON API's answer, one object in UTF-8: input, number, e164, valid, location, areaCode,
// carrier, virtualOperator, type, owner, locationSource ("builtin", "segments") with the segment
// file's name and date, and message, null where the outcome does not know; message says what is
// wrong with an input that is not a usable number, or what the service covers for another
// region's number, and is null otherwise. Then label: category, reporters, lastReported,
// contested and source (null for the community's own), or null.
std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title,
                       const std::optional<ShownLabel> &label);

// A label as the API writes it, an object in UTF-8.
std::string labelJson(const ShownLabel &label);

// GET /api/v1/about: the program and its version, the data sets answers come from (versions,
// sources, dates) and the limits of a reply.
std::string aboutJson(const std::vector<DataSet> &dataSets);

// {"error": message} for a request the API cannot answer.
std::string jsonError(std::string_view message);

}  // namespace zuno::service
