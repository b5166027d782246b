// SPDX-License-Identifier: Apache-2.0
#include "site/batch/multipart_file.h"

#include <boost/beast/core/string.hpp>

#include <algorithm>

namespace zuno::service {
namespace {

// The longest header block of a part taken.
constexpr size_t kMaxPartHeaders = 8 * 1024;

std::string lowered(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
    return lower;
}

// The value of a parameter (name=value or name="value") in a header field's value.
std::optional<std::string> parameter(std::string_view value, std::string_view name)
{
    const std::string lower = lowered(value);
    const std::string key = std::string(name) + "=";
    for (size_t at = lower.find(key); at != std::string::npos; at = lower.find(key, at + 1)) {
        if (at > 0 && lower[at - 1] != ';' && lower[at - 1] != ' ' && lower[at - 1] != '\t')
            continue;
        std::string_view rest = value.substr(at + key.size());
        if (rest.starts_with('"')) {
            const size_t close = rest.find('"', 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            return std::string(rest.substr(1, close - 1));
        }
        return std::string(rest.substr(0, rest.find_first_of("; \t")));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> MultipartFile::boundaryOf(std::string_view contentType)
{
    if (!lowered(contentType).starts_with("multipart/form-data"))
        return std::nullopt;
    auto boundary = parameter(contentType, "boundary");
    // RFC 2046: 1 to 70 characters.
    if (!boundary || boundary->empty() || boundary->size() > 70)
        return std::nullopt;
    return boundary;
}

MultipartFile::MultipartFile(std::string_view boundary, std::string field)
    : delimiter_("\r\n--" + std::string(boundary)),
      field_(std::move(field)),
      // The first delimiter has no line break before it: one is made up, so that every
      // delimiter reads alike.
      pending_("\r\n")
{}

void MultipartFile::feed(std::string_view bytes, std::string &contents)
{
    pending_.append(bytes);
    advance(contents);
}

void MultipartFile::advance(std::string &contents)
{
    while (true) {
        switch (state_) {
        case State::Preamble:
        case State::Part: {
            const size_t at = pending_.find(delimiter_);
            // Everything but what may be the start of a delimiter is settled.
            const size_t settled = at != std::string::npos ? at
                : pending_.size() >= delimiter_.size()     ? pending_.size() - delimiter_.size() + 1
                                                           : 0;
            if (inFile_)
                contents.append(pending_, 0, settled);
            if (at == std::string::npos) {
                pending_.erase(0, settled);
                return;
            }
            pending_.erase(0, at + delimiter_.size());
            inFile_ = false;
            state_ = State::AfterDelimiter;
            break;
        }
        case State::AfterDelimiter:
            if (pending_.size() < 2)
                return;
            if (pending_.starts_with("--")) {
                state_ = State::Done;
                pending_.clear();
                return;
            }
            if (!pending_.starts_with("\r\n")) {
                state_ = State::Malformed;
                return;
            }
            pending_.erase(0, 2);
            state_ = State::Headers;
            break;
        case State::Headers: {
            // A part with no header fields begins at once with its blank line.
            const size_t end = pending_.starts_with("\r\n") ? 0 : pending_.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (pending_.size() > kMaxPartHeaders)
                    state_ = State::Malformed;
                return;
            }
            const std::string headers = "\r\n" + pending_.substr(0, end);
            pending_.erase(0, end == 0 ? 2 : end + 4);
            const std::string lower = lowered(headers);
            const size_t disposition = lower.find("\r\ncontent-disposition:");
            if (disposition != std::string::npos) {
                const size_t valueStart = disposition + 22;
                const std::string value =
                    headers.substr(valueStart, headers.find("\r\n", valueStart) - valueStart);
                const bool named = parameter(value, "name") == field_;
                inFile_ = !fileSeen_ && named;
                fileSeen_ = fileSeen_ || inFile_;
                if (named || parameter(value, "filename"))
                    ++fileParts_;
            }
            state_ = State::Part;
            break;
        }
        case State::Done:
        case State::Malformed: pending_.clear(); return;
        }
    }
}

}  // namespace zuno::service
