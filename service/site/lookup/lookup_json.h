// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_snapshot.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

struct DataSet;
struct LookupOutcome;

// One field of the API's answer: its name, its UTF-8 text (nothing for null) and, for a field
// that is no string in JSON (a boolean, the label's object), its JSON text. CSV writes the text.
struct LookupField {
    std::string_view name;
    std::optional<std::string> text;
    std::optional<std::string> json;
};
inline constexpr size_t kLookupFieldCount = 16;
inline constexpr size_t kE164Field = 2;
inline constexpr size_t kValidField = 3;
inline constexpr size_t kMessageField = 14;
inline constexpr size_t kMessageCodeField = 15;
using LookupFields = std::array<LookupField, kLookupFieldCount>;

// The API's fields in the order it documents them: input, number, e164, valid, location,
// areaCode, carrier, virtualOperator, type, owner, locationSource ("builtin", "segments") with
// the segment file's name and date, label, message and messageCode; null where the outcome does
// not know. message says what is wrong with an input that is not a usable number, or what the
// service covers for another region's number, and is null otherwise; messageCode names its case.
// label is category, reporters, lastReported, contested and source (null for the community's own),
// or null; in CSV, one line of text. The JSON answer and the batch's CSV and JSON Lines rows are
// all written from these.
LookupFields lookupFields(const LookupOutcome &outcome, std::u16string_view title,
                          const std::optional<ShownLabel> &label = std::nullopt);

// The fields as one JSON object in UTF-8, on one line.
std::string lookupJson(const LookupFields &fields);
std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title,
                       const std::optional<ShownLabel> &label);

// What the API adds for a title read otherwise than as a whole number, or for a number with an
// extension: ,"form" ("block", "blockPrefix", "areaCode", "placeName", "number"), "extension" and
// "places" (each with "location" and "areaCode"); empty for a whole number.
std::string typedQueryMembers(const LookupOutcome &outcome);

// A label as the API writes it, an object in UTF-8.
std::string labelJson(const ShownLabel &label);

// GET /api/v1/about: the program and its version, the data sets answers come from (versions,
// sources, dates) and the limits of a reply.
std::string aboutJson(const std::vector<DataSet> &dataSets);

}  // namespace zuno::service
