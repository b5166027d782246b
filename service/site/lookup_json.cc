#include "lookup_json.h"

#include "data_sets.h"
#include "lookup_reply.h"
#include "number_lookup.h"
#include "web_text.h"

#include <nlohmann/json.hpp>
#include <zuno/version.h>

namespace zuno::service {
namespace {

// ordered_json keeps the fields in the order the API documents them.
using json = nlohmann::ordered_json;

json textOrNull(std::u16string_view text)
{
    return text.empty() ? json(nullptr) : json(toUtf8(text));
}

json placeSourceName(PlaceSource source)
{
    switch (source) {
    case PlaceSource::Builtin: return "builtin";
    case PlaceSource::Segments: return "segments";
    case PlaceSource::Community: return "community";
    case PlaceSource::None: break;
    }
    return nullptr;
}

// Bytes that are not UTF-8 become U+FFFD instead of an exception or invalid output.
std::string dumped(const json &value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json labelObject(const std::optional<ShownLabel> &shown)
{
    if (!shown)
        return nullptr;
    return {
        {"category", std::string(categoryName(shown->label.category))},
        {"reporters", shown->label.reporters},
        {"lastReported", formatDay(shown->label.lastReported)},
        {"contested", shown->label.contested},
        {"source", shown->source.empty() ? json(nullptr) : json(shown->source)},
    };
}

}  // namespace

std::string labelJson(const ShownLabel &label) { return dumped(labelObject(label)); }

std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title,
                       const std::optional<ShownLabel> &label)
{
    const std::u16string message = outcomeMessage(outcome, title);
    const json answer = {
        {"input", toUtf8(title)},
        {"number", textOrNull(outcome.number)},
        {"e164", outcome.e164.empty() ? json(nullptr) : json(outcome.e164)},
        // Another region's number is valid where its kind is known, though not looked up here.
        {"valid", outcome.valid() || !outcome.kind.empty()},
        {"location", textOrNull(outcome.place)},
        {"areaCode", textOrNull(outcome.areaCode)},
        {"carrier", textOrNull(outcome.carrier)},
        {"virtualOperator", outcome.virtualOperator},
        {"type", textOrNull(outcome.kind)},
        {"owner", textOrNull(outcome.owner)},
        {"locationSource", placeSourceName(outcome.placeSource)},
        {"locationSourceName",
         outcome.sourceName.empty() ? json(nullptr) : json(outcome.sourceName)},
        {"locationSourceDate",
         outcome.sourceDate.empty() ? json(nullptr) : json(outcome.sourceDate)},
        {"message", textOrNull(message)},
        {"label", labelObject(label)},
    };
    return dumped(answer);
}

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

std::string jsonError(std::string_view message)
{
    return dumped(json{{"error", std::string(message)}});
}

}  // namespace zuno::service
