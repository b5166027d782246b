// SPDX-License-Identifier: Apache-2.0
#include "bytes_to_bstr.h"

#include "gbk_units.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utypes.h>

#include <memory>
#include <string>

namespace zuno {

namespace {

// Windows' own table: ICU's "gb2312" is strict EUC-CN, its "gb18030" maps some pairs otherwise.
constexpr char kCodePage936Converter[] = "windows-936";

// The ICU converter name for a charset label other than GBK's; empty when it cannot name one.
QByteArray converterName(const QString &label)
{
    const QString normalised = label.trimmed().toLower();
    for (QChar c : normalised) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7E)
            return {};
    }
    return normalised.toLatin1();
}

// Every malformed, truncated or unmapped sequence becomes one U+FFFD; ICU's default would give
// U+001A for unmapped bytes in some tables.
void substituteReplacementCharacter(const void *, UConverterToUnicodeArgs *args, const char *,
                                    int32_t, UConverterCallbackReason reason, UErrorCode *status)
{
    if (reason > UCNV_IRREGULAR)
        return;  // reset, close or clone: nothing to write
    const UChar replacement = 0xFFFD;
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, status);
}

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};
using ConverterPointer = std::unique_ptr<UConverter, ConverterCloser>;

FetchedValue decodeCodePage936(const std::string &bytes)
{
    UErrorCode status = U_ZERO_ERROR;
    ConverterPointer converter(ucnv_open(kCodePage936Converter, &status));
    if (U_FAILURE(status) || !converter)
        throw ConversionError("ICU has no table for code page 936");
    // A pair the table leaves unmapped stops the conversion, and is then one U+FFFD.
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    if (U_FAILURE(status))
        throw ConversionError(std::string("cannot set up the converter: ") + u_errorName(status));
    const auto mapPair = [&converter](unsigned char lead, unsigned char trail) -> char16_t {
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        UChar decoded[2] = {};
        UErrorCode pairStatus = U_ZERO_ERROR;
        const int32_t length = ucnv_toUChars(converter.get(), decoded, 2, pair, 2, &pairStatus);
        return U_SUCCESS(pairStatus) && length == 1 ? decoded[0] : char16_t(0xFFFD);
    };
    return FetchedValue::fromText(decodeGbk(bytes, mapPair));
}

}  // namespace

FetchedValue BytesToBstr(const FetchedValue &strBody, const QString &CodeBase)
{
    if (strBody.isText())
        throw ConversionError("the value to convert holds text, not bytes");
    if (isGbkLabel(CodeBase.toStdU16String()))
        return decodeCodePage936(strBody.bytes());

    const QByteArray name = converterName(CodeBase);
    if (name.isEmpty())
        throw ConversionError("unknown charset: " + CodeBase.toStdString());
    UErrorCode status = U_ZERO_ERROR;
    ConverterPointer converter(ucnv_open(name.constData(), &status));
    if (U_FAILURE(status) || !converter)
        throw ConversionError("unknown charset: " + CodeBase.toStdString());

    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter.get(), substituteReplacementCharacter, nullptr, nullptr, nullptr,
                        &status);
    if (U_FAILURE(status))
        throw ConversionError(std::string("cannot set up the converter: ") + u_errorName(status));

    const std::string bytes = strBody.bytes();
    if (bytes.empty())
        return FetchedValue::fromText({});

    // One UTF-16 unit a byte is enough for the CJK charsets; the loop grows the text for any
    // converter that writes more.
    std::u16string text(bytes.size() + 1, u'\0');
    std::size_t written = 0;
    const char *source = bytes.data();
    const char *const sourceEnd = source + bytes.size();
    for (;;) {
        UChar *const begin = text.data();
        UChar *target = begin + written;
        status = U_ZERO_ERROR;
        ucnv_toUnicode(converter.get(), &target, begin + text.size(), &source, sourceEnd, nullptr,
                       /*flush=*/true, &status);
        written = target - begin;
        if (status != U_BUFFER_OVERFLOW_ERROR)
            break;
        text.resize(text.size() * 2);
    }
    if (U_FAILURE(status))
        throw ConversionError(std::string("conversion failed: ") + u_errorName(status));
    text.resize(written);
    return FetchedValue::fromText(std::move(text));
}

}  // namespace zuno
