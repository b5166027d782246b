// SPDX-License-Identifier: Apache-2.0
#include "site/lookup/lookup_reply.h"

#include "number/area_codes.h"
#include "number/number_lookup.h"
#include "number/number_normaliser.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <algorithm>
#include <array>
#include <string>

#include <vector>

namespace zuno::service {
namespace {

constexpr std::u16string_view kLineBreak = u"\r\n";
constexpr std::u16string_view kPlaceLabel = u"归属地：";

// The columns text takes: GBK gives ASCII one byte and everything else two, and the result box
// shows them as wide.
size_t columns(std::u16string_view text)
{
    size_t width = 0;
    for (const char16_t c : text)
        width += c < 0x80 ? 1 : 2;
    return width;
}

// A line cut to kMaxLineColumns, ending in '…' where it was cut.
std::u16string cut(std::u16string line, size_t room = kMaxLineColumns)
{
    if (columns(line) <= room)
        return line;
    while (!line.empty() && columns(line) + 2 > room)
        line.pop_back();
    return line + u'…';
}

// A place too wide for the room after its label: a list keeps the places that fit before 等;
// a name still too long goes without its province (through 省), which the rest names uniquely.
std::u16string fittedPlace(std::u16string_view place, size_t room)
{
    for (size_t at = place.rfind(u'、'); at != std::u16string_view::npos && at > 0;
         at = place.rfind(u'、', at - 1)) {
        std::u16string shorter = std::u16string(place.substr(0, at)) + u'等';
        if (columns(shorter) <= room)
            return shorter;
    }
    const size_t listEnd = place.find(u'、');
    std::u16string_view name = place.substr(0, listEnd);
    const size_t province = name.find(u'省');
    if (province != std::u16string_view::npos && province + 1 < name.size())
        name.remove_prefix(province + 1);
    return cut(std::u16string(name) + (listEnd == std::u16string_view::npos ? u"" : u"等"), room);
}

// The place in `room` columns after its label: 暂无数据 where there is none, the community's
// marked as such with the place shortened rather than the mark.
std::u16string shownPlace(const LookupOutcome &outcome, size_t room)
{
    constexpr std::u16string_view kCommunityMark = u"（用户提供）";
    if (outcome.place.empty())
        return std::u16string(kNoPlace);
    const bool community = outcome.placeSource == PlaceSource::Community;
    if (community)
        room -= columns(kCommunityMark);
    std::u16string place =
        columns(outcome.place) <= room ? outcome.place : fittedPlace(outcome.place, room);
    if (community)
        place += kCommunityMark;
    return place;
}

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == U'\u2028' || c == U'\u2029';
}

// The caller's input as a reply may repeat it: trimmed, on one line, at most `most` characters,
// and '?' for what strict GBK decoders would reject.
std::u16string quoted(std::u16string_view title, size_t most)
{
    while (!title.empty() && isBlank(title.front()))
        title.remove_prefix(1);
    while (!title.empty() && isBlank(title.back()))
        title.remove_suffix(1);

    std::u16string out;
    size_t characters = 0;
    for (size_t i = 0; i < title.size(); ++i) {
        if (characters == most) {
            out += u'…';
            break;
        }
        char32_t c = title[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < title.size() && title[i + 1] >= 0xDC00 &&
            title[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (title[i + 1] - 0xDC00);
            ++i;
        }
        // Everything that strict GBK holds is in the Basic Multilingual Plane.
        out += isControl(c) || !encodesToStrictGbk(c) ? u'?' : static_cast<char16_t>(c);
        ++characters;
    }
    return out;
}

std::u16string sentence(Verdict verdict, std::u16string_view quote)
{
    const std::u16string input = u"“" + std::u16string(quote) + u"”";
    switch (verdict) {
    case Verdict::Found: return {};
    case Verdict::Empty:
        return u"请输入要查询的电话号码，例如手机号码 13800138000 或固定电话 010-12345678。";
    case Verdict::Letters:
        return input + u"中含有字母。电话号码只由数字组成，例如 13800138000 或 010-12345678。";
    case Verdict::OtherCharacters:
        return input + u"中含有无法识别的字符。请只输入数字（可带空格、横线、括号）。";
    case Verdict::OutsideMainland:
        return input +
            u"无法识别，请检查国家或地区代码和位数。中国大陆号码可不写国家代码，或写 +86。";
    case Verdict::TooShort:
        return input + u"位数不够。手机号码为 11 位，固定电话请连同区号输入，例如 010-12345678。";
    case Verdict::TooLong:
        return input + u"位数太多。手机号码为 11 位，固定电话连同区号为 10 至 12 位。";
    case Verdict::Invalid:
        return input + u"不是有效的电话号码，请检查后重新输入，例如 13800138000。";
    }
    return input + u"无法查询，请检查后重新输入，例如 13800138000。";
}

bool isAsciiWord(char16_t c) { return c > u' ' && c < 0x7F; }

bool isOpeningMark(char16_t c)
{
    return std::u16string_view(u"“‘（《「『").find(c) != std::u16string_view::npos;
}

bool isClosingMark(char16_t c)
{
    return std::u16string_view(u"，。、；：！？）》」』”’…").find(c) != std::u16string_view::npos;
}

// Text in lines of at most kMaxLineColumns, broken at spaces or between Chinese characters but
// not inside a run of ASCII that fits on a line, and not after an opening mark nor before a
// closing one where the unit carried along still fits.
std::vector<std::u16string> wrapped(std::u16string_view text)
{
    std::vector<std::u16string> lines(1);
    size_t width = 0;
    size_t lastUnit = 0;  // where the last unit of the current line begins
    for (size_t at = 0; at < text.size();) {
        size_t end = at + 1;
        while (isAsciiWord(text[at]) && end < text.size() && isAsciiWord(text[end]) &&
               end - at < kMaxLineColumns)
            ++end;
        const std::u16string_view unit = text.substr(at, end - at);
        at = end;
        if (unit == u" ") {
            if (!lines.back().empty()) {
                lines.back() += u' ';
                ++width;
            }
            continue;
        }
        const size_t unitWidth = columns(unit);
        if (width + unitWidth > kMaxLineColumns) {
            std::u16string &line = lines.back();
            std::u16string carried;
            const std::u16string_view last = std::u16string_view(line).substr(lastUnit);
            if (lastUnit > 0 && (isClosingMark(unit.front()) || isOpeningMark(last.front())) &&
                columns(last) + unitWidth <= kMaxLineColumns) {
                carried = last;
                line.erase(lastUnit);
            }
            while (!line.empty() && line.back() == u' ')
                line.pop_back();
            width = columns(carried);
            lines.push_back(std::move(carried));
        }
        lastUnit = lines.back().size();
        lines.back() += unit;
        width += unitWidth;
    }
    while (!lines.back().empty() && lines.back().back() == u' ')
        lines.back().pop_back();
    return lines;
}

std::u16string joined(const std::vector<std::u16string> &lines)
{
    std::u16string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += kLineBreak;
        text += lines[i];
    }
    return text;
}

// Names after a label in at most `most` lines, 、 between them, broken between names; as many
// as fit, then 等.
std::u16string listed(std::u16string_view label, const std::vector<std::u16string> &names,
                      size_t most)
{
    for (size_t shown = names.size(); shown > 0; --shown) {
        std::vector<std::u16string> lines{std::u16string(label)};
        bool fits = true;
        for (size_t i = 0; i < shown && fits; ++i) {
            std::u16string item = names[i];
            if (i + 1 < shown)
                item += u'、';
            else if (shown < names.size())
                item += u'等';
            if (columns(lines.back()) + columns(item) > kMaxLineColumns)
                lines.emplace_back();
            lines.back() += item;
            fits = lines.size() <= most && columns(lines.back()) <= kMaxLineColumns;
        }
        if (fits)
            return joined(lines);
    }
    return cut(std::u16string(label) + names.front());
}

// The reply's line of the number ("号码：..."), whichever line it is.
size_t numberLine(const std::u16string &reply)
{
    const size_t at = reply.find(u"号码：");
    return at == std::u16string::npos ? 0 : at;
}

// A number with an extension: the number's reply, with 分机 after it and its kind where it fits.
std::u16string extensionReply(const LookupOutcome &outcome, std::u16string_view title,
                              const std::optional<ShownLabel> &label)
{
    LookupOutcome number = outcome;
    number.extension.clear();
    std::u16string reply = buildReply(number, title, label);
    std::u16string line = u"号码：" + outcome.number + u" 分机 " + outcome.extension;
    if (columns(line) + 1 + columns(outcome.kind) <= kMaxLineColumns)
        line += u' ' + outcome.kind;
    const size_t at = numberLine(reply);
    const size_t end = std::min(reply.find(kLineBreak, at), reply.size());
    return reply.replace(at, end - at, cut(std::move(line)));
}

// A block: what its first number answers, under 号段; a block's first digits: their carrier.
std::u16string blockReply(const LookupOutcome &outcome, std::u16string_view title)
{
    const std::u16string first = u"号段：" + outcome.number;
    if (outcome.form == QueryForm::BlockPrefix)
        return first + std::u16string(kLineBreak) + u"运营商：" + carrierLabel(outcome);
    LookupOutcome number = outcome;
    number.form = QueryForm::Number;
    const std::u16string reply = buildReply(number, title);
    return first + reply.substr(std::min(reply.find(kLineBreak), reply.size()));
}

// An area code: the places that use it, in two lines; a name: its place and code, or each place
// of that name with its province and code.
std::u16string placesReply(const LookupOutcome &outcome)
{
    if (outcome.form == QueryForm::AreaCode)
        return u"区号：" + outcome.areaCode + std::u16string(kLineBreak) +
            listed(kPlaceLabel, splitPlaces(outcome.place), kMaxReplyLines - 1);
    const auto codeText = [](const PlaceCode &place) {
        return (place.code.starts_with(u'+') ? u"国际区号：" : u"区号：") + place.code;
    };
    if (outcome.places.empty())
        return {};
    // One place, under one code or several (资阳: 028 and 0832).
    const PlaceCode &front = outcome.places.front();
    if (std::all_of(outcome.places.begin(), outcome.places.end(),
                    [&](const PlaceCode &place) { return place.place == front.place; })) {
        PlaceCode codes{front.place, front.code};
        for (size_t i = 1; i < outcome.places.size(); ++i)
            codes.code += u"、" + outcome.places[i].code;
        return cut(u"地名：" + front.place) + std::u16string(kLineBreak) + cut(codeText(codes));
    }
    // Namesakes: the code first, so that a long name is what gets cut.
    std::vector<std::u16string> lines;
    const size_t shown =
        outcome.places.size() <= kMaxReplyLines ? kMaxReplyLines : kMaxReplyLines - 1;
    for (size_t i = 0; i < outcome.places.size() && i < shown; ++i)
        lines.push_back(cut(codeText(outcome.places[i]) + u' ' + outcome.places[i].place));
    if (lines.size() < outcome.places.size()) {
        const std::string count = std::to_string(outcome.places.size());
        lines.push_back(cut(u"共 " + std::u16string(count.begin(), count.end()) +
                            u" 处同名地区，详见查询结果页"));
    }
    return joined(lines);
}

// A number found without label, extension, owner or virtual operator, every line fitting uncut,
// appended in GBK as buildReply writes it; false (out as it was) for any other answer.
bool appendPlainReply(std::string &out, const LookupOutcome &outcome)
{
    constexpr std::u16string_view kNumberLabel = u"号码：";
    constexpr std::u16string_view kCarrierLabel = u"运营商：";
    constexpr std::u16string_view kAreaCodeLabel = u"区号：";
    if (!outcome.valid() || !outcome.extension.empty() || outcome.form != QueryForm::Number ||
        !outcome.owner.empty() || outcome.virtualOperator ||
        outcome.placeSource == PlaceSource::Community)
        return false;
    const std::u16string_view place = outcome.place.empty() ? kNoPlace : outcome.place;
    const std::u16string &carrier = outcome.carrier;
    const std::u16string &areaCode = outcome.areaCode;
    size_t detailColumns = carrier.empty() ? 0 : columns(kCarrierLabel) + columns(carrier);
    if (!areaCode.empty())
        detailColumns += (carrier.empty() ? 0 : 1) + columns(kAreaCodeLabel) + columns(areaCode);
    if (columns(kNumberLabel) + columns(outcome.number) + 1 + columns(outcome.kind) >
            kMaxLineColumns ||
        columns(kPlaceLabel) + columns(place) > kMaxLineColumns || detailColumns > kMaxLineColumns)
        return false;

    // Written in place: no text is more than twice its units in GBK.
    const size_t start = out.size();
    out.resize(start +
               2 *
                   (kNumberLabel.size() + outcome.number.size() + 1 + outcome.kind.size() +
                    2 * kLineBreak.size() + kPlaceLabel.size() + place.size() +
                    kCarrierLabel.size() + carrier.size() + 1 + kAreaCodeLabel.size() +
                    areaCode.size()));
    char *to = out.data() + start;
    const auto write = [&to](std::u16string_view text) { to = to ? writeGbk(to, text) : nullptr; };
    write(kNumberLabel);
    write(outcome.number);
    write(u" ");
    write(outcome.kind);
    write(kLineBreak);
    write(kPlaceLabel);
    write(place);
    if (detailColumns > 0) {
        write(kLineBreak);
        if (!carrier.empty()) {
            write(kCarrierLabel);
            write(carrier);
        }
        if (!areaCode.empty()) {
            write(carrier.empty() ? kAreaCodeLabel : u" 区号：");
            write(areaCode);
        }
    }
    out.resize(to ? static_cast<size_t>(to - out.data()) : start);
    return to != nullptr;
}

}  // namespace

std::string buildReplyGbk(const LookupOutcome &outcome, std::u16string_view title,
                          const std::optional<ShownLabel> &label)
{
    std::string out;
    if (!label && appendPlainReply(out, outcome))
        return out;
    return encodeGbk(buildReply(outcome, title, label));
}

std::u16string carrierLabel(const LookupOutcome &outcome)
{
    if (!outcome.virtualOperator)
        return outcome.carrier;
    return outcome.carrier.empty() ? std::u16string(u"虚拟运营商")
                                   : outcome.carrier + u"（虚拟运营商）";
}

std::u16string problemMessage(Verdict verdict, std::u16string_view title)
{
    return sentence(verdict, quoted(title, kMaxQuotedCharacters));
}

std::u16string outcomeMessage(const LookupOutcome &outcome, std::u16string_view title)
{
    if (outcome.valid())
        return {};
    if (outcome.verdict == Verdict::OutsideMainland && !outcome.place.empty())
        return std::u16string(kCoverage) + u"。";
    return problemMessage(outcome.verdict, title);
}

const char *verdictCode(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Found: break;
    case Verdict::Empty: return "number_empty";
    case Verdict::Letters: return "letters_in_number";
    case Verdict::OtherCharacters: return "other_characters";
    case Verdict::OutsideMainland: return "outside_mainland";
    case Verdict::TooShort: return "number_too_short";
    case Verdict::TooLong: return "number_too_long";
    case Verdict::Invalid: return "number_invalid";
    }
    return "";
}

const char *outcomeMessageCode(const LookupOutcome &outcome)
{
    return outcome.valid() ? "" : verdictCode(outcome.verdict);
}

std::u16string labelLine(const ShownLabel &shown)
{
    const Label &label = shown.label;
    if (!shown.source.empty())
        return cut(u"【" + fromUtf8(categoryName(label.category)) + u"】" + fromUtf8(shown.source));
    // Made once: this runs for every labelled number looked up.
    static const std::array<std::u16string, kCategoryCount> marked = [] {
        std::array<std::u16string, kCategoryCount> names;
        for (size_t i = 0; i < kCategoryCount; ++i)
            names[i] = u"【" + fromUtf8(kCategoryNames[i]) + u"】";
        return names;
    }();
    std::u16string line =
        label.contested ? u"【有争议】" : marked[static_cast<size_t>(label.category)];
    for (const char c : std::to_string(label.reporters))
        line += static_cast<char16_t>(c);
    line += u"人标记 ";
    for (const char c : formatDay(label.lastReported))
        line += static_cast<char16_t>(c);
    return cut(std::move(line));
}

std::u16string buildReply(const LookupOutcome &outcome, std::u16string_view title,
                          const std::optional<ShownLabel> &label)
{
    if (outcome.valid() && !outcome.extension.empty())
        return extensionReply(outcome, title, label);
    if (outcome.form == QueryForm::Block || outcome.form == QueryForm::BlockPrefix)
        return blockReply(outcome, title);
    if (outcome.form == QueryForm::AreaCode || outcome.form == QueryForm::PlaceName)
        return placesReply(outcome);
    // Another region's number: its region, and what this service covers instead of a carrier.
    if (outcome.verdict == Verdict::OutsideMainland && !outcome.place.empty()) {
        const std::u16string kind = outcome.kind.empty() ? u"" : u" " + outcome.kind;
        std::u16string first = u"号码：" + outcome.number + kind;
        std::u16string second = std::u16string(kPlaceLabel) + outcome.place;
        // A kind too wide to follow the number follows the region.
        if (columns(first) > kMaxLineColumns && columns(second + kind) <= kMaxLineColumns) {
            first = u"号码：" + outcome.number;
            second += kind;
        }
        std::u16string reply = cut(std::move(first));
        reply += kLineBreak;
        reply += cut(std::move(second));
        reply += kLineBreak;
        reply += kCoverage;
        return reply;
    }
    if (!outcome.valid()) {
        // The sentences fit in kMaxReplyLines with a short quote; a long one is shortened.
        for (size_t most = kMaxQuotedCharacters;; --most) {
            std::vector<std::u16string> lines =
                wrapped(sentence(outcome.verdict, quoted(title, most)));
            if (lines.size() <= kMaxReplyLines || most == 0) {
                lines.resize(std::min(lines.size(), kMaxReplyLines));
                return joined(lines);
            }
        }
    }

    if (label && outcome.valid()) {
        // The label takes the first line; place, carrier and area code share the last.
        std::u16string reply = labelLine(*label);
        reply += kLineBreak;
        reply += cut(u"号码：" + outcome.number + u' ' + outcome.kind);
        reply += kLineBreak;
        std::u16string line(kPlaceLabel);
        line += shownPlace(outcome, kMaxLineColumns - columns(kPlaceLabel));
        std::u16string more[2];
        if (!outcome.owner.empty()) {
            more[0] = outcome.owner;
        } else {
            more[0] = outcome.carrier;
            if (!outcome.areaCode.empty())
                more[1] = u"区号：" + outcome.areaCode;
        }
        for (const std::u16string &part : more)
            if (!part.empty() && columns(line) + 1 + columns(part) <= kMaxLineColumns)
                line += u' ' + part;
        return reply + line;
    }

    // Built in one string: this runs for every number looked up.
    // A number too long to share the first line with its kind (a long 106 port) leaves the kind
    // to the third line.
    std::u16string firstLine = u"号码：" + outcome.number + u' ' + outcome.kind;
    const bool kindApart = columns(firstLine) > kMaxLineColumns;
    if (kindApart)
        firstLine = u"号码：" + outcome.number;
    std::u16string reply = cut(std::move(firstLine));
    reply += kLineBreak;
    reply += kPlaceLabel;
    reply += shownPlace(outcome, kMaxLineColumns - columns(kPlaceLabel));

    std::u16string details;
    if (!outcome.owner.empty())
        details = u"用途：" + outcome.owner;
    else if (const std::u16string carrier = carrierLabel(outcome); !carrier.empty())
        details = u"运营商：" + carrier;
    else if (kindApart)
        details = u"类型：" + outcome.kind;
    if (outcome.owner.empty() && !outcome.areaCode.empty()) {
        details += (details.empty() ? u"区号：" : u" 区号：") + outcome.areaCode;
        // A virtual operator's note and the area code fit only without the carrier's label.
        if (columns(details) > kMaxLineColumns && details.starts_with(u"运营商："))
            details.erase(0, std::u16string_view(u"运营商：").size());
    }
    if (!details.empty()) {
        reply += kLineBreak;
        reply += cut(std::move(details));
    }
    return reply;
}

}  // namespace zuno::service
