// SPDX-License-Identifier: Apache-2.0
#include "bytes_to_bstr.h"

#include "gbk_units.h"

#include <windows.h>

namespace zuno {
namespace {

constexpr UINT kCodePage936 = 936;

// A pair the code page leaves unmapped is refused (MB_ERR_INVALID_CHARS) rather than given the
// code page's default character.
char16_t mapPairWithCodePage(unsigned char lead, unsigned char trail)
{
    const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
    wchar_t decoded[2] = {};
    const int written =
        MultiByteToWideChar(kCodePage936, MB_ERR_INVALID_CHARS, pair, 2, decoded, 2);
    return written == 1 ? static_cast<char16_t>(decoded[0]) : char16_t(0xFFFD);
}

}  // namespace

FetchedValue BytesToBstr(const FetchedValue &strBody, std::u16string_view CodeBase)
{
    if (strBody.isText())
        throw ConversionError("the value to convert holds text, not bytes");
    if (!isGbkLabel(CodeBase))
        throw ConversionError("unknown charset");
    if (!IsValidCodePage(kCodePage936))
        throw ConversionError("code page 936 is not installed");
    return FetchedValue::fromText(decodeGbk(strBody.bytes(), mapPairWithCodePage));
}

}  // namespace zuno
