#include "lookup_json.h"

#include "lookup_reply.h"
#include "number_lookup.h"
#include "web_text.h"

#include <nlohmann/json.hpp>

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

// Bytes that are not UTF-8 become U+FFFD instead of an exception or invalid output.
std::string dumped(const json &value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

LookupFields lookupFields(const LookupOutcome &outcome, std::u16string_view title)
{
    const std::u16string message =
        outcome.valid() ? std::u16string() : problemMessage(outcome.verdict, title);
    return {{
        {"input", toUtf8(title)},
        {"number", textOrNull(outcome.number)},
        {"e164", outcome.e164.empty() ? std::nullopt : std::optional(outcome.e164)},
        {"valid", outcome.valid() ? "true" : "false"},
        {"location", textOrNull(outcome.place)},
        {"areaCode", textOrNull(outcome.areaCode)},
        {"carrier", textOrNull(outcome.carrier)},
        {"type", textOrNull(outcome.kind)},
        {"owner", textOrNull(outcome.owner)},
        // Filled once numbers can carry labels.
        {"label", std::nullopt},
        {"message", textOrNull(message)},
    }};
}

std::string lookupJson(const LookupFields &fields)
{
    json answer = json::object();
    for (size_t i = 0; i < fields.size(); ++i) {
        const LookupField &field = fields[i];
        const std::string name(field.name);
        if (i == kValidField)
            answer[name] = field.text == "true";
        else if (field.text)
            answer[name] = *field.text;
        else
            answer[name] = nullptr;
    }
    return dumped(answer);
}

std::string lookupJson(const LookupOutcome &outcome, std::u16string_view title)
{
    return lookupJson(lookupFields(outcome, title));
}

std::string jsonError(std::string_view message)
{
    return dumped(json{{"error", std::string(message)}});
}

}  // namespace zuno::service
