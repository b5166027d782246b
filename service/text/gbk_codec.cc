// SPDX-License-Identifier: Apache-2.0
#include "text/gbk_codec.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/uniset.h>
#include <unicode/ustring.h>

#include <array>
#include <cstdint>
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

// What each well-formed pair (lead 0x81-0xFE, trail 0x40-0xFE but 0x7F) reads as in code page
// 936, U+FFFD where the code page maps none; made once from ICU's table for the code page.
constexpr size_t kTrails = 0xFF - 0x40;
const std::array<char16_t, 0x7E * kTrails> &pairTable()
{
    static const auto table = [] {
        auto made = std::make_unique<std::array<char16_t, 0x7E * kTrails>>();
        UErrorCode status = U_ZERO_ERROR;
        icu::LocalUConverterPointer converter(ucnv_open(kGbkConverterName, &status));
        throwIfFailed(status, "ucnv_open(windows-936-2000)");
        ucnv_setToUCallBack(converter.getAlias(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr,
                            nullptr, &status);
        throwIfFailed(status, "ucnv_setToUCallBack");
        for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
            for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
                const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                UChar units[2];
                status = U_ZERO_ERROR;
                ucnv_resetToUnicode(converter.getAlias());
                const int32_t written =
                    ucnv_toUChars(converter.getAlias(), units, 2, pair, 2, &status);
                (*made)[(lead - 0x81) * kTrails + (trail - 0x40)] =
                    U_SUCCESS(status) && written == 1 && trail != 0x7F ? units[0] : u'\uFFFD';
            }
        }
        return made;
    }();
    return *table;
}

// What the converter writes for each UTF-16 unit alone: a byte (below 0x100), a lead and trail
// byte (lead << 8 | trail), or kNotInTable for a surrogate, which only ICU pairs correctly.
constexpr std::uint16_t kNotInTable = 0xFFFF;
const std::array<std::uint16_t, 0x10000> &encodingTable()
{
    static const auto table = [] {
        auto made = std::make_unique<std::array<std::uint16_t, 0x10000>>();
        UConverter &converter = gbkEncoder();
        for (char32_t unit = 0; unit < 0x10000; ++unit) {
            const UChar text[1] = {static_cast<UChar>(unit)};
            char bytes[8];
            UErrorCode status = U_ZERO_ERROR;
            ucnv_resetFromUnicode(&converter);
            const int32_t written = U16_IS_SURROGATE(unit)
                ? 0
                : ucnv_fromUChars(&converter, bytes, sizeof bytes, text, 1, &status);
            const auto byte = [&](int at) { return static_cast<unsigned char>(bytes[at]); };
            std::uint16_t &entry = (*made)[unit];
            if (U_FAILURE(status) || written < 1 || written > 2)
                entry = kNotInTable;
            else
                entry = written == 1 ? byte(0) : static_cast<std::uint16_t>(byte(0) << 8 | byte(1));
        }
        ucnv_resetFromUnicode(&converter);
        return made;
    }();
    return *table;
}

std::string encodeWithIcu(std::u16string_view text)
{
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

}  // namespace

char *writeGbk(char *to, std::u16string_view text)
{
    const auto &table = encodingTable();
    for (const char16_t unit : text) {
        const std::uint16_t entry = table[unit];
        if (entry == kNotInTable)
            return nullptr;
        if (entry >= 0x100)
            *to++ = static_cast<char>(entry >> 8);
        *to++ = static_cast<char>(entry & 0xFF);
    }
    return to;
}

std::string encodeGbk(std::u16string_view text)
{
    std::string out(text.size() * 2, '\0');
    const char *end = writeGbk(out.data(), text);
    if (!end)
        return encodeWithIcu(text);
    out.resize(static_cast<size_t>(end - out.data()));
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
    const auto &pairs = pairTable();
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            out += static_cast<char16_t>(byte);
            ++i;
        } else if (byte == 0x80) {
            out += u'\u20AC';  // the euro sign, code page 936's one single byte above ASCII
            ++i;
        } else if (byte == 0xFF || i + 1 == bytes.size()) {
            out += u'\uFFFD';
            ++i;
        } else {
            const auto trail = static_cast<unsigned char>(bytes[i + 1]);
            if (trail >= 0x40 && trail != 0x7F && trail != 0xFF) {
                out += pairs[(byte - 0x81) * kTrails + (trail - 0x40)];
                i += 2;
            } else {
                // A trail that is ASCII is read again on its own, as browsers do; 0xFF goes
                // with the lead into one U+FFFD.
                out += u'\uFFFD';
                i += trail < 0x80 ? 1 : 2;
            }
        }
    }
    return out;
}

}  // namespace zuno::service
