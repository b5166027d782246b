// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zuno::service {

// Splits a batch body, as it arrives, into the numbers to look up: one a line (LF, CRLF or CR),
// the first column of CSV or of tab-separated text (quoted fields as RFC 4180 has them, a header
// row naming the column skipped), or a JSON array of strings (numbers taken as written). A UTF-8
// byte order mark is dropped; one of UTF-16 (LE or BE, Excel's "Unicode Text") has the body read
// as UTF-16. Otherwise text is read as UTF-8 until a record that is not UTF-8; from that record
// on, as GB18030 (spreadsheets in China save GBK). Holds at most one record beyond what it was
// given to read.
class BatchInput
{
public:
    // The longest record taken; a longer one is one row that says so, its rest skipped.
    static constexpr size_t kMaxRecordBytes = 4096;

    enum class Next {
        Item,       // an input, in text (UTF-16)
        TooLong,    // a record over kMaxRecordBytes
        Malformed,  // JSON that is not an array of strings: nothing more is read
        NeedInput,  // feed() more, or end()
        End,
    };

    // Appends bytes of the body; call only after next() said NeedInput.
    void feed(std::string_view bytes);
    // No more bytes will come.
    void end();

    Next next(std::u16string &text);

    // How many more items the bytes given so far hold, when they are the whole body.
    size_t countRemaining() const;

private:
    enum class Form { Unknown, Lines, Json };
    enum class Encoding { Unknown, Bytes, Utf16Le, Utf16Be };
    void appendUtf16(std::string_view bytes);
    Next nextLine(std::u16string &text);
    Next nextJson(std::u16string &text);
    std::u16string decoded(std::string_view bytes);
    void compact();

    std::string pending_;
    size_t position_ = 0;
    bool ended_ = false;
    Form form_ = Form::Unknown;
    bool firstRecord_ = true;
    bool gb18030_ = false;
    Encoding encoding_ = Encoding::Unknown;
    std::string utf16Rest_;      // an odd byte, or a surrogate waiting for its pair
    bool skipping_ = false;      // the rest of an over-long record
    bool afterCr_ = false;       // a line ended at CR: a LF right after it belongs to that end
    bool jsonSkipping_ = false;  // the rest of an over-long JSON string
    bool jsonOpen_ = false;      // past the JSON array's '['
    bool jsonClosed_ = false;
    bool afterItem_ = false;  // a JSON item read, its comma not yet
};

}  // namespace zuno::service
