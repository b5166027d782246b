// SPDX-License-Identifier: Apache-2.0
#include "lookup_rule.h"

namespace zuno {
namespace {

bool isUnreserved(unsigned char byte)
{
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

}  // namespace

std::string lookupUrl(std::string_view serviceHost, std::u16string_view typedText)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "http://";
    url.append(serviceHost);
    url.append("/iii.asp?title=");
    for (const char c : utf16ToUtf8(typedText)) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            url.push_back(c);
        } else {
            url.push_back('%');
            url.push_back(kHex[byte >> 4]);
            url.push_back(kHex[byte & 0x0F]);
        }
    }
    return url;
}

std::u16string textToShow(const FetchedValue &reply)
{
    if (reply.length() > kAcceptanceThreshold)
        return reply.toText();
    return kFailureMessage;
}

std::string homePageUrl(std::string_view serviceHost)
{
    return "http://" + std::string(serviceHost);
}

}  // namespace zuno
