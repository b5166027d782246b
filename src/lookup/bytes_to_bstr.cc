// SPDX-License-Identifier: Apache-2.0
#include "bytes_to_bstr.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utypes.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace zuno {

namespace {

// The WHATWG GBK decoder is the GB18030 decoder, which reads every GBK sequence as code page 936
// does but, unlike ICU's table for 936, reports bytes that start no sequence (such as 0xFF) as
// errors instead of mapping them to private-use characters. ICU's own "gb2312" alias is strict
// EUC-CN and would turn every GBK-only character into U+001A, so the labels are mapped here.
constexpr char kGbkConverter[] = "gb18030";
// The one single byte that code page 936 adds to GB18030.
constexpr char kCodePage936Euro = '\x80';

// The labels that the WHATWG Encoding Standard (and Windows) read as GBK.
constexpr std::array<std::u16string_view, 9> kGbkLabels = {
    u"chinese",    u"csgb2312", u"csiso58gb231280", u"gb2312", u"gb_2312",
    u"gb_2312-80", u"gbk",      u"iso-ir-58",       u"x-gbk",
};

// The ICU converter name for a charset label; empty when the label cannot name one.
QByteArray converterName(const QString &label)
{
    const QString normalised = label.trimmed().toLower();
    for (std::u16string_view gbk : kGbkLabels) {
        if (QStringView(normalised) == QStringView(gbk.data(), qsizetype(gbk.size())))
            return QByteArray(kGbkConverter);
    }
    for (QChar c : normalised) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7E)
            return {};
    }
    return normalised.toLatin1();
}

// Every malformed, truncated or unmapped sequence becomes one U+FFFD; ICU's default would give
// U+001A for unmapped bytes in some tables. A context marks the GBK decoder, where 0x80 is the
// euro sign.
void substituteReplacementCharacter(const void *context, UConverterToUnicodeArgs *args,
                                    const char *codeUnits, int32_t length,
                                    UConverterCallbackReason reason, UErrorCode *status)
{
    if (reason > UCNV_IRREGULAR)
        return;  // reset, close or clone: nothing to write
    const bool euro = context != nullptr && length == 1 && codeUnits[0] == kCodePage936Euro;
    const UChar replacement = euro ? 0x20AC : 0xFFFD;
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, status);
}

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};
using ConverterPointer = std::unique_ptr<UConverter, ConverterCloser>;

}  // namespace

FetchedValue BytesToBstr(const FetchedValue &strBody, const QString &CodeBase)
{
    if (strBody.isText())
        throw ConversionError("the value to convert holds text, not bytes");

    const QByteArray name = converterName(CodeBase);
    if (name.isEmpty())
        throw ConversionError("unknown charset: " + CodeBase.toStdString());
    UErrorCode status = U_ZERO_ERROR;
    ConverterPointer converter(ucnv_open(name.constData(), &status));
    if (U_FAILURE(status) || !converter)
        throw ConversionError("unknown charset: " + CodeBase.toStdString());

    status = U_ZERO_ERROR;
    const void *gbkContext = name == kGbkConverter ? kGbkConverter : nullptr;
    ucnv_setToUCallBack(converter.get(), substituteReplacementCharacter, gbkContext, nullptr,
                        nullptr, &status);
    if (U_FAILURE(status))
        throw ConversionError(std::string("cannot set up the converter: ") + u_errorName(status));

    const QByteArray bytes = strBody.bytes();
    if (bytes.isEmpty())
        return FetchedValue::fromText(QString());

    // One UTF-16 unit a byte is enough for the CJK charsets; the loop grows the text for any
    // converter that writes more.
    QString text(bytes.size() + 1, Qt::Uninitialized);
    qsizetype written = 0;
    const char *source = bytes.constData();
    const char *const sourceEnd = source + bytes.size();
    for (;;) {
        UChar *const begin = reinterpret_cast<UChar *>(text.data());
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
    text.truncate(written);
    return FetchedValue::fromText(std::move(text));
}

}  // namespace zuno
