// SPDX-License-Identifier: Apache-2.0
#include "http/conditional_request.h"

#include "http/http_dates.h"
#include "http/query.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

namespace zuno::service {
namespace {

std::string_view withoutWeakness(std::string_view tag)
{
    return tag.starts_with("W/") ? tag.substr(2) : tag;
}

bool anyTagMatches(std::string_view list, std::string_view etag)
{
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view tag = withoutBlanks(list.substr(0, comma));
        if (tag == "*" || withoutWeakness(tag) == etag)
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

// Only strong tags that are equal match, and "*" matches any file.
bool anyTagMatchesStrongly(std::string_view list, std::string_view etag)
{
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view tag = withoutBlanks(list.substr(0, comma));
        if (tag == "*" || tag == etag)
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

// Digits only; a number past what 64 bits hold reads as UINT64_MAX.
std::optional<std::uint64_t> readNumber(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || end != text.data() + text.size())
        return std::nullopt;
    if (error == std::errc::result_out_of_range)
        return UINT64_MAX;
    if (error != std::errc())
        return std::nullopt;
    return value;
}

bool failsPreconditions(const Preconditions &request, const Representation &file)
{
    if (!withoutBlanks(request.ifMatch).empty())
        return !anyTagMatchesStrongly(request.ifMatch, file.etag);
    const auto since = parseHttpDate(withoutBlanks(request.ifUnmodifiedSince));
    return since && file.lastModified > *since;
}

bool isFresh(const Preconditions &request, const Representation &file, std::time_t now)
{
    if (!request.ifNoneMatch.empty())
        return anyTagMatches(request.ifNoneMatch, file.etag);
    const auto since = parseHttpDate(withoutBlanks(request.ifModifiedSince));
    return since && *since <= now && file.lastModified <= *since;
}

bool startsWithBytesUnit(std::string_view range)
{
    constexpr std::string_view kUnit = "bytes=";
    return range.size() >= kUnit.size() &&
        std::equal(kUnit.begin(), kUnit.end(), range.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// If-Range holds a strong ETag or a date; a weak tag or an unreadable value never matches.
bool rangeStillApplies(std::string_view ifRange, const Representation &file)
{
    ifRange = withoutBlanks(ifRange);
    if (ifRange.empty())
        return true;
    if (ifRange.starts_with('"'))
        return ifRange == file.etag;
    const auto date = parseHttpDate(ifRange);
    return date && *date == file.lastModified;
}

}  // namespace

Selection selectRepresentation(const Preconditions &request, const Representation &file,
                               std::time_t now)
{
    if (failsPreconditions(request, file))
        return {Selection::Kind::PreconditionFailed};
    if (isFresh(request, file, now))
        return {Selection::Kind::NotModified};
    const Selection whole{Selection::Kind::Whole, 0, file.size};

    std::string_view range = withoutBlanks(request.range);
    if (!startsWithBytesUnit(range) || !rangeStillApplies(request.ifRange, file))
        return whole;
    range = withoutBlanks(range.substr(6));
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos || range.find(',') != std::string_view::npos)
        return whole;
    const std::string_view first = withoutBlanks(range.substr(0, dash));
    const std::string_view last = withoutBlanks(range.substr(dash + 1));
    const Selection unsatisfiable{Selection::Kind::Unsatisfiable};

    if (first.empty()) {
        // "-N": the last N bytes.
        const auto suffix = readNumber(last);
        if (!suffix)
            return whole;
        if (*suffix == 0 || file.size == 0)
            return unsatisfiable;
        const std::uint64_t length = std::min(*suffix, file.size);
        return {Selection::Kind::Partial, file.size - length, length};
    }
    const auto start = readNumber(first);
    const auto end = last.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : readNumber(last);
    if (!start || !end || *end < *start)
        return whole;
    if (*start >= file.size)
        return unsatisfiable;
    const std::uint64_t stop = std::min(*end, file.size - 1);
    return {Selection::Kind::Partial, *start, stop - *start + 1};
}

}  // namespace zuno::service
