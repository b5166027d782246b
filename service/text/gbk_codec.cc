// SPDX-License-Identifier: Apache-2.0
#include "text/gbk_codec.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/uniset.h>
#include <unicode/ustring.h>

#include <limits>
#include <memory>
#include <stdexcept>

namespace zuno::service {
namespace {

constexpr char kGbkConverterName[] = "windows-936-2000";

void throwIfFailed(UErrorCode status, const char *what)
{
    if (U_FAILURE(status))
        throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

int32_t checkedLength(size_t size)
{
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 4))
        throw std::length_error("text too long for ICU");
    return static_cast<int32_t>(size);
}

// One converter per thread: ICU converters keep state and must not be shared.
UConverter &gbkEncoder()
{
    thread_local icu::LocalUConverterPointer converter = [] {
        UErrorCode status = U_ZERO_ERROR;
        icu::LocalUConverterPointer opened(ucnv_open(kGbkConverterName, &status));
        throwIfFailed(status, "ucnv_open(windows-936-2000)");
        ucnv_setSubstChars(opened.getAlias(), "?", 1, &status);
        throwIfFailed(status, "ucnv_setSubstChars");
        return opened;
    }();
    return *converter.getAlias();
}

// GBK is read with GB18030, its superset: the code page 936 table would turn bytes that start
// no sequence (0x80, 0xFF) and its user-defined areas into private-use characters.
UConverter &gbkDecoder()
{
    thread_local icu::LocalUConverterPointer converter = [] {
        UErrorCode status = U_ZERO_ERROR;
        icu::LocalUConverterPointer opened(ucnv_open("gb18030", &status));
        throwIfFailed(status, "ucnv_open(gb18030)");
        // Unassigned and illegal input both read as U+FFFD rather than ICU's default U+001A.
        ucnv_setToUCallBack(opened.getAlias(), UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, nullptr,
                            nullptr, &status);
        throwIfFailed(status, "ucnv_setToUCallBack");
        return opened;
    }();
    return *converter.getAlias();
}

}  // namespace

std::string encodeGbk(std::u16string_view text)
{
    if (text.empty())
        return {};
    UConverter &converter = gbkEncoder();
    ucnv_resetFromUnicode(&converter);
    const int32_t length = checkedLength(text.size());
    std::string out(static_cast<size_t>(UCNV_GET_MAX_BYTES_FOR_STRING(length, 2)), '\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t written = ucnv_fromUChars(
        &converter, out.data(), static_cast<int32_t>(out.size()), text.data(), length, &status);
    throwIfFailed(status, "ucnv_fromUChars");
    out.resize(static_cast<size_t>(written));
    return out;
}

bool encodesToStrictGbk(char32_t c)
{
    static const std::unique_ptr<const icu::UnicodeSet> strict = [] {
        UErrorCode status = U_ZERO_ERROR;
        icu::LocalUConverterPointer converter(ucnv_open(kGbkConverterName, &status));
        throwIfFailed(status, "ucnv_open(windows-936-2000)");
        auto set = std::make_unique<icu::UnicodeSet>();
        ucnv_getUnicodeSet(converter.getAlias(), set->toUSet(), UCNV_ROUNDTRIP_SET, &status);
        throwIfFailed(status, "ucnv_getUnicodeSet");
        set->removeAll(icu::UnicodeSet(u"[[:Co:]\\u20AC]", status));
        throwIfFailed(status, "UnicodeSet([:Co:])");
        set->freeze();
        return set;
    }();
    return strict->contains(static_cast<UChar32>(c));
}

std::u16string decodeGbk(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    UConverter &converter = gbkDecoder();
    ucnv_resetToUnicode(&converter);
    const int32_t length = checkedLength(bytes.size());
    // GBK never yields more UTF-16 units than it has bytes.
    std::u16string out(bytes.size(), u'\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t written = ucnv_toUChars(&converter, out.data(), static_cast<int32_t>(out.size()),
                                          bytes.data(), length, &status);
    throwIfFailed(status, "ucnv_toUChars");
    out.resize(static_cast<size_t>(written));
    return out;
}

}  // namespace zuno::service
