// SPDX-License-Identifier: Apache-2.0
#include "site/lookup/lookup_json.h"

#include "number/data_sets.h"
#include "number/number_lookup.h"
#include "site/lookup/lookup_reply.h"
#include "text/utf8.h"

#include <nlohmann/json.hpp>
#include <unicode/utf8.h>
#include <zuno/version.h>

#include <limits>

namespace zuno::service {
namespace {

// ordered_json keeps the fields in the order the API documents them.
using json = nlohmann::ordered_json;

std::optional<std::string> textOrNull(std::u16string_view text)
{
    if (text.empty())
        return std::nullopt;
    return toUtf8(text);
}

std::optional<std::string> textOrNull(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    return std::string(text);
}

std::optional<std::string> placeSourceName(PlaceSource source)
{
    switch (source) {
    case PlaceSource::Builtin: return "builtin";
    case PlaceSource::Segments: return "segments";
    case PlaceSource::Community: return "community";
    case PlaceSource::None: break;
    }
    return std::nullopt;
}

LookupField boolean(std::string_view name, bool value)
{
    const char *text = value ? "true" : "false";
    return {name, text, text};
}

// Bytes that are not UTF-8 become U+FFFD instead of an exception or invalid output.
std::string dumped(const json &value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json labelObject(const ShownLabel &shown)
{
    return {
        {"category", std::string(categoryName(shown.label.category))},
        {"reporters", shown.label.reporters},
        {"lastReported", formatDay(shown.label.lastReported)},
        {"contested", shown.label.contested},
        {"source", shown.source.empty() ? json(nullptr) : json(shown.source)},
    };
}

// The label as one cell of a CSV row: the reply's own words without its brackets.
std::string labelText(const ShownLabel &shown)
{
    const Label &label = shown.label;
    std::string text(label.contested ? "有争议" : categoryName(label.category));
    if (!shown.source.empty())
        return text + " " + shown.source;
    return text + " " + std::to_string(label.reporters) + "人标记 " + formatDay(label.lastReported);
}

// A JSON string as dumped() writes it, without building a json value for it; false, having
// appended nothing, for bytes that are not UTF-8 as ICU reads it (no overlong forms, no
// surrogates, nothing above U+10FFFF), which dumped() replaces its own way.
bool appendJsonString(std::string &out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        return false;
    const auto length = static_cast<int32_t>(text.size());
    const size_t start = out.size();
    out += '"';
    for (int32_t at = 0; at < length;) {
        const auto c = static_cast<unsigned char>(text[static_cast<size_t>(at)]);
        if (c >= 0x80) {
            const int32_t begin = at;
            UChar32 point = 0;
            U8_NEXT(text.data(), at, length, point);
            if (point < 0) {
                out.resize(start);
                return false;
            }
            out.append(text.data() + begin, static_cast<size_t>(at - begin));
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++at;
    }
    out += '"';
    return true;
}

}  // namespace

LookupFields lookupFields(const LookupOutcome &outcome, std::u16string_view title,
                          const std::optional<ShownLabel> &label)
{
    const std::u16string message = outcomeMessage(outcome, title);
    LookupField labelField{"label", std::nullopt, std::nullopt};
    if (label) {
        labelField.text = labelText(*label);
        labelField.json = dumped(labelObject(*label));
    }
    return {{
        {"input", toUtf8(title), std::nullopt},
        {"number", textOrNull(outcome.number), std::nullopt},
        {"e164", textOrNull(std::string_view(outcome.e164)), std::nullopt},
        // Another region's number is valid where its kind is known, though not looked up here.
        boolean("valid", outcome.valid() || !outcome.kind.empty()),
        {"location", textOrNull(outcome.place), std::nullopt},
        {"areaCode", textOrNull(outcome.areaCode), std::nullopt},
        {"carrier", textOrNull(outcome.carrier), std::nullopt},
        boolean("virtualOperator", outcome.virtualOperator),
        {"type", textOrNull(outcome.kind), std::nullopt},
        {"owner", textOrNull(outcome.owner), std::nullopt},
        {"locationSource", placeSourceName(outcome.placeSource), std::nullopt},
        {"locationSourceName", textOrNull(std::string_view(outcome.sourceName)), std::nullopt},
        {"locationSourceDate", textOrNull(std::string_view(outcome.sourceDate)), std::nullopt},
        std::move(labelField),
        {"message", textOrNull(message), std::nullopt},
        {"messageCode", textOrNull(std::string_view(outcomeMessageCode(outcome))), std::nullopt},
    }};
}

std::string lookupJson(const LookupFields &fields)
{
    // Written field by field, as the batch writes a row for every number of its body.
    std::string out = "{";
    for (const LookupField &field : fields) {
        if (out.size() > 1)
            out += ',';
        out += '"';
        out.append(field.name);
        out += "\":";
        if (field.json)
            out += *field.json;
        else if (!field.text)
            out += "null";
        else if (!appendJsonString(out, *field.text))
            out += dumped(json(*field.text));
    }
    out += '}';
    return out;
}

std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title,
                       const std::optional<ShownLabel> &label)
{
    std::string out = lookupJson(lookupFields(outcome, title, label));
    out.insert(out.size() - 1, typedQueryMembers(outcome));
    return out;
}

std::string typedQueryMembers(const LookupOutcome &outcome)
{
    if (!outcome.valid() || (outcome.form == QueryForm::Number && outcome.extension.empty()))
        return {};
    const char *form = "number";
    switch (outcome.form) {
    case QueryForm::Number: break;
    case QueryForm::Block: form = "block"; break;
    case QueryForm::BlockPrefix: form = "blockPrefix"; break;
    case QueryForm::AreaCode: form = "areaCode"; break;
    case QueryForm::PlaceName: form = "placeName"; break;
    }
    json members = {{"form", form}};
    if (!outcome.extension.empty())
        members["extension"] = toUtf8(outcome.extension);
    if (!outcome.places.empty()) {
        json places = json::array();
        for (const PlaceCode &place : outcome.places)
            places.push_back({{"location", toUtf8(place.place)}, {"areaCode", toUtf8(place.code)}});
        members["places"] = std::move(places);
    }
    // The members without the object's braces, after a comma, to follow the API's fields.
    const std::string text = dumped(members);
    return "," + text.substr(1, text.size() - 2);
}

std::string labelJson(const ShownLabel &label) { return dumped(labelObject(label)); }

std::string aboutJson(const std::vector<DataSet> &dataSets)
{
    json data = json::array();
    for (const DataSet &set : dataSets)
        data.push_back({{"kind", set.kind},
                        {"name", set.name},
                        {"version", set.version.empty() ? json(nullptr) : json(set.version)},
                        {"date", set.date.empty() ? json(nullptr) : json(set.date)}});
    const json about = {
        {"program", "zuno-lookupd"},
        {"version", zuno::kVersion},
        {"data", std::move(data)},
        {"limits", {{"replyLines", kMaxReplyLines}, {"replyLineColumns", kMaxLineColumns}}},
    };
    return dumped(about);
}

}  // namespace zuno::service
