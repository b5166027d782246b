// SPDX-License-Identifier: Apache-2.0
#include "site/batch/batch_input.h"

#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <algorithm>
#include <array>
#include <utility>

namespace zuno::service {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";
constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kJsonSpace = " \t\r\n";
// Bytes already read are dropped from the front once this many have gathered.
constexpr size_t kCompactAfter = 64 * 1024;

// A first record that names its column instead of holding a number.
bool isHeader(std::u16string_view field)
{
    if (std::any_of(field.begin(), field.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }))
        return false;
    std::u16string lower(field);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; });
    constexpr std::array<std::u16string_view, 7> kNames = {u"number", u"phone", u"mobile", u"tel",
                                                           u"号码",   u"电话",  u"手机"};
    return std::any_of(kNames.begin(), kNames.end(),
                       [&](std::u16string_view name) { return lower.find(name) != lower.npos; });
}

// The first field of a CSV or tab-separated record, its quotes removed.
std::string firstField(std::string_view record)
{
    if (!record.starts_with('"'))
        return std::string(record.substr(0, std::min(record.size(), record.find_first_of(",\t"))));
    std::string field;
    for (size_t i = 1; i < record.size(); ++i) {
        if (record[i] != '"') {
            field += record[i];
            continue;
        }
        if (i + 1 < record.size() && record[i + 1] == '"') {
            field += '"';
            ++i;
            continue;
        }
        break;
    }
    return field;
}

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool hexValue(std::string_view digits, char32_t &value)
{
    value = 0;
    for (const char c : digits) {
        const int digit = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f'             ? c - 'a' + 10
            : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                               : -1;
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<char32_t>(digit);
    }
    return true;
}

// The contents of a JSON string (between its quotes) unescaped to UTF-8; false when malformed.
// A lone surrogate becomes U+FFFD.
bool unescapeJson(std::string_view text, std::string &out)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            char32_t unit = 0;
            if (i + 4 >= text.size() || !hexValue(text.substr(i + 1, 4), unit))
                return false;
            i += 4;
            char32_t low = 0;
            if (unit >= 0xD800 && unit < 0xDC00 && i + 6 < text.size() &&
                text.substr(i + 1, 2) == "\\u" && hexValue(text.substr(i + 3, 4), low) &&
                low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            } else if (unit >= 0xD800 && unit < 0xE000) {
                unit = 0xFFFD;
            }
            appendUtf8(out, unit);
            break;
        }
        default: return false;
        }
    }
    return true;
}

}  // namespace

void BatchInput::feed(std::string_view bytes)
{
    compact();
    if (encoding_ == Encoding::Unknown) {
        // The first two bytes tell UTF-16 by its byte order mark.
        pending_.append(bytes);
        if (pending_.size() < kUtf16LeMark.size())
            return;
        const bool little = pending_.starts_with(kUtf16LeMark);
        if (!little && !pending_.starts_with(kUtf16BeMark)) {
            encoding_ = Encoding::Bytes;
            return;
        }
        encoding_ = little ? Encoding::Utf16Le : Encoding::Utf16Be;
        const std::string rest = pending_.substr(kUtf16LeMark.size());
        pending_.clear();
        appendUtf16(rest);
        return;
    }
    if (encoding_ == Encoding::Bytes)
        pending_.append(bytes);
    else
        appendUtf16(bytes);
}

void BatchInput::end()
{
    ended_ = true;
    if (encoding_ == Encoding::Unknown)
        encoding_ = Encoding::Bytes;
    if (!utf16Rest_.empty()) {
        appendUtf8(pending_, kReplacement);
        utf16Rest_.clear();
    }
}

// The rest of the body is read as UTF-8 from here on.
void BatchInput::appendUtf16(std::string_view bytes)
{
    utf16Rest_.append(bytes);
    const bool little = encoding_ == Encoding::Utf16Le;
    const auto unitAt = [&](size_t i) {
        const auto first = static_cast<unsigned char>(utf16Rest_[i]);
        const auto second = static_cast<unsigned char>(utf16Rest_[i + 1]);
        return static_cast<char32_t>(little ? first | second << 8 : first << 8 | second);
    };
    size_t i = 0;
    for (; i + 1 < utf16Rest_.size(); i += 2) {
        const char32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit < 0xDC00) {
            if (i + 3 >= utf16Rest_.size())
                break;
            const char32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(pending_, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(pending_, unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit);
    }
    utf16Rest_.erase(0, i);
}

void BatchInput::compact()
{
    if (position_ < kCompactAfter && position_ < pending_.size())
        return;
    pending_.erase(0, position_);
    position_ = 0;
}

std::u16string BatchInput::decoded(std::string_view bytes)
{
    // Most records are digits: ASCII reads the same in every encoding taken.
    if (std::all_of(bytes.begin(), bytes.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::u16string(bytes.begin(), bytes.end());
    if (!gb18030_) {
        if (auto text = decodeUtf8(bytes))
            return std::move(*text);
        gb18030_ = true;
    }
    return decodeGbk(bytes);
}

BatchInput::Next BatchInput::next(std::u16string &text)
{
    if (encoding_ == Encoding::Unknown)
        return Next::NeedInput;
    if (form_ == Form::Unknown) {
        const std::string_view rest = std::string_view(pending_).substr(position_);
        if (rest.size() < kByteOrderMark.size() && kByteOrderMark.starts_with(rest) && !ended_)
            return Next::NeedInput;
        if (rest.starts_with(kByteOrderMark))
            position_ += kByteOrderMark.size();
        const size_t first = pending_.find_first_not_of(kJsonSpace, position_);
        if (first == std::string::npos && !ended_ && pending_.size() - position_ < kMaxRecordBytes)
            return Next::NeedInput;
        form_ = first != std::string::npos && pending_[first] == '[' ? Form::Json : Form::Lines;
        if (form_ == Form::Json)
            position_ = first + 1;
    }
    return form_ == Form::Json ? nextJson(text) : nextLine(text);
}

BatchInput::Next BatchInput::nextLine(std::u16string &text)
{
    while (true) {
        if (skipping_) {
            const size_t newline = pending_.find_first_of("\r\n", position_);
            if (newline == std::string::npos) {
                position_ = pending_.size();
                return ended_ ? Next::End : Next::NeedInput;
            }
            position_ = newline + 1;
            afterCr_ = pending_[newline] == '\r';
            skipping_ = false;
        }
        if (afterCr_) {
            if (position_ == pending_.size())
                return ended_ ? Next::End : Next::NeedInput;
            if (pending_[position_] == '\n')
                ++position_;
            afterCr_ = false;
        }
        // The record ends at the first line break outside a quoted field.
        size_t end = position_;
        bool quoted = false;
        bool fieldStart = true;
        bool undecided = false;
        for (; end < pending_.size(); ++end) {
            const char c = pending_[end];
            if (quoted) {
                if (c == '"') {
                    if (end + 1 == pending_.size() && !ended_) {
                        undecided = true;
                        break;
                    }
                    if (end + 1 < pending_.size() && pending_[end + 1] == '"')
                        ++end;
                    else
                        quoted = false;
                }
                continue;
            }
            if (c == '\n' || c == '\r')
                break;
            if (c == '"' && fieldStart)
                quoted = true;
            fieldStart = c == ',' || c == '\t';
        }
        const bool complete = !undecided && (end < pending_.size() || ended_);
        if (end - position_ > kMaxRecordBytes) {
            skipping_ = end == pending_.size();
            afterCr_ = !skipping_ && pending_[end] == '\r';
            position_ = std::min(end + 1, pending_.size());
            return Next::TooLong;
        }
        if (!complete)
            return Next::NeedInput;
        if (position_ == pending_.size())
            return Next::End;
        const std::string_view record =
            std::string_view(pending_).substr(position_, end - position_);
        afterCr_ = end < pending_.size() && pending_[end] == '\r';
        position_ = std::min(end + 1, pending_.size());
        text = decoded(firstField(record));
        if (std::exchange(firstRecord_, false) && isHeader(text))
            continue;
        return Next::Item;
    }
}

BatchInput::Next BatchInput::nextJson(std::u16string &text)
{
    while (true) {
        if (jsonSkipping_) {
            // To the closing quote of a string already answered as too long.
            size_t at = position_;
            while (at < pending_.size() && pending_[at] != '"') {
                if (pending_[at] == '\\' && at + 1 == pending_.size())
                    break;
                at += pending_[at] == '\\' ? 2 : 1;
            }
            if (at >= pending_.size() || pending_[at] != '"') {
                position_ = std::min(at, pending_.size());
                return ended_ ? Next::Malformed : Next::NeedInput;
            }
            position_ = at + 1;
            jsonSkipping_ = false;
            afterItem_ = true;
            continue;
        }
        if (jsonClosed_)
            return Next::End;
        const size_t at = pending_.find_first_not_of(kJsonSpace, position_);
        if (at == std::string::npos) {
            position_ = pending_.size();
            return ended_ ? Next::Malformed : Next::NeedInput;
        }
        position_ = at;
        const char c = pending_[at];
        if (c == ']') {
            jsonClosed_ = true;
            ++position_;
            return Next::End;
        }
        if (afterItem_) {
            if (c != ',')
                return Next::Malformed;
            afterItem_ = false;
            ++position_;
            continue;
        }
        if (c == '"') {
            size_t close = at + 1;
            while (close < pending_.size() && pending_[close] != '"')
                close += pending_[close] == '\\' ? 2 : 1;
            if (close >= pending_.size()) {
                if (ended_)
                    return Next::Malformed;
                if (pending_.size() - at - 1 > kMaxRecordBytes) {
                    jsonSkipping_ = true;
                    position_ = at + 1;
                    return Next::TooLong;
                }
                return Next::NeedInput;
            }
            if (close - at - 1 > kMaxRecordBytes) {
                position_ = close + 1;
                afterItem_ = true;
                return Next::TooLong;
            }
            std::string bytes;
            if (!unescapeJson(std::string_view(pending_).substr(at + 1, close - at - 1), bytes))
                return Next::Malformed;
            position_ = close + 1;
            afterItem_ = true;
            text = decoded(bytes);
            return Next::Item;
        }
        // A number, or another scalar, taken as written.
        const size_t end = pending_.find_first_of(",]\t\r\n ", at);
        if (end == std::string::npos && !ended_)
            return pending_.size() - at > kMaxRecordBytes ? Next::Malformed : Next::NeedInput;
        if (c == '{' || c == '[' || c == ',')
            return Next::Malformed;
        const size_t stop = end == std::string::npos ? pending_.size() : end;
        text = decoded(std::string_view(pending_).substr(at, stop - at));
        position_ = stop;
        afterItem_ = true;
        return Next::Item;
    }
}

size_t BatchInput::countRemaining() const
{
    BatchInput copy = *this;
    copy.end();
    size_t count = 0;
    std::u16string text;
    while (true) {
        const Next next = copy.next(text);
        if (next != Next::Item && next != Next::TooLong)
            return count;
        ++count;
    }
}

}  // namespace zuno::service
