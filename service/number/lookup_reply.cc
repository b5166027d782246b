#include "lookup_reply.h"

#include "gbk_codec.h"
#include "number_lookup.h"
#include "number_normaliser.h"
#include "title_decoder.h"

namespace zuno::service {
namespace {

constexpr std::u16string_view kLineEnd = u"\r\n";

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == u'\u2028' || c == u'\u2029';
}

// The caller's input as a reply may repeat it: trimmed, on one line, and not too long.
std::u16string quoted(std::u16string_view title)
{
    while (!title.empty() && isBlank(title.front()))
        title.remove_prefix(1);
    while (!title.empty() && isBlank(title.back()))
        title.remove_suffix(1);

    std::u16string out;
    size_t characters = 0;
    for (size_t i = 0; i < title.size(); ++i) {
        if (characters == kMaxQuotedCharacters) {
            out += u'…';
            break;
        }
        const char16_t c = title[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < title.size() &&
            title[i + 1] >= 0xDC00 && title[i + 1] <= 0xDFFF;
        if (pair) {
            out += title.substr(i, 2);
            ++i;
        } else {
            out += isControl(c) ? u'?' : c;
        }
        ++characters;
    }
    return out;
}

}  // namespace

std::u16string problemMessage(Verdict verdict, std::u16string_view title)
{
    std::u16string input(u"“");
    input += quoted(title);
    input += u'”';
    switch (verdict) {
    case Verdict::Found: break;
    case Verdict::Empty:
        return u"请输入要查询的电话号码，例如手机号码 13800138000 或固定电话 010-12345678。";
    case Verdict::Letters:
        return input +
            u"中含有字母。电话号码只由数字组成，请输入如 13800138000 或 010-12345678 的号码。";
    case Verdict::OtherCharacters:
        return input +
            u"中含有无法识别的字符。请只输入数字，可以带空格、横线或括号，例如 010-12345678。";
    case Verdict::NotChinese:
        return input +
            u"不是中国的电话号码。本站只查询中国的号码，国家代码请写 +86 或 0086，例如 +86 138 "
            u"0013 8000。";
    case Verdict::TooShort:
        return input +
            u"位数不够，不是完整的电话号码。手机号码为 11 位，固定电话请连同区号输入，例如 "
            u"010-12345678。";
    case Verdict::TooLong:
        return input +
            u"位数太多，不是有效的电话号码。手机号码为 11 位，固定电话连同区号为 10 至 12 "
            u"位，请检查后重新输入。";
    case Verdict::Invalid:
        return input +
            u"不是有效的中国电话号码，请检查后重新输入，例如 13800138000 或 010-12345678。";
    }
    return input + u"无法查询，请检查后重新输入，例如 13800138000。";
}

std::u16string buildReply(const LookupOutcome &outcome, std::u16string_view title)
{
    if (outcome.verdict != Verdict::Found)
        return problemMessage(outcome.verdict, title) + std::u16string(kLineEnd);

    std::u16string reply;
    reply.reserve(64);
    reply += u"号码：";
    reply += outcome.number;
    reply += kLineEnd;
    reply += u"归属地：";
    reply += outcome.place;
    reply += kLineEnd;
    reply += u"类型：";
    reply += outcome.kind;
    reply += kLineEnd;
    return reply;
}

std::string lookupReplyBody(const NumberLookup &lookup, std::string_view rawTitle)
{
    const std::u16string title = decodeTitle(rawTitle);
    return encodeGbk(buildReply(lookup.lookup(title), title));
}

}  // namespace zuno::service
