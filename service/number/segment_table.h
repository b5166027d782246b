// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// A segment file that cannot be used, refused whole: what() names the file, the line and why.
class SegmentFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Where a segment file says its data comes from, as its first line names it.
struct SegmentSource {
    std::string path;
    std::string name;  // UTF-8
    std::string date;  // YYYY-MM-DD
    size_t rows = 0;
};

// What a segment file says of the numbers of one block. Empty text is what the file left empty.
struct SegmentPlace {
    std::u16string place;              // "广东省深圳市", as the built-in data spells places
    std::u16string areaCode;           // "0755"
    std::u16string carrier;            // "中国电信"
    std::int8_t virtualOperator = -1;  // 1 or 0 as the file says; -1 where it says nothing
    std::uint16_t source = 0;          // index into sources()
};

// The 34 provincial-level divisions by full name, in the order forms list them.
std::vector<std::u16string_view> provinceNames();
// How answers write a city of a province named in full ("广东省", "深圳市" → "广东省深圳市";
// a municipality is its own name); nothing when the province is not one of the 34.
std::optional<std::u16string> provincialPlace(std::u16string_view province,
                                              std::u16string_view city);

// Number blocks an operator loads (--segments): mobile prefixes of 3 to 7 digits and what each
// block's numbers are, the longest prefix winning and a later file's rows over an earlier's.
// Immutable once loaded, so that lookups read it without a lock while a reload builds the next.
//
// The format, UTF-8: the first line "# source: NAME; date: YYYY-MM-DD", the second the header
// "prefix,province,city,area_code,carrier,virtual", then rows such as
// "1991234,广东省,深圳市,0755,中国电信,0". Fields hold no commas; all but prefix may be empty;
// province is one of the 34 provincial-level divisions by its full name; virtual is 0 or 1.
class SegmentTable
{
public:
    // Throws SegmentFileError for the first file that cannot be read or is malformed anywhere.
    static std::shared_ptr<const SegmentTable>
    load(const std::vector<std::filesystem::path> &files);

    // The block that holds a national significant number, nullptr when no loaded row does.
    const SegmentPlace *find(std::string_view significant) const;

    const std::vector<SegmentSource> &sources() const { return sources_; }
    size_t rows() const;
    // Bytes held, for telling the memory a row takes.
    size_t bytes() const;

private:
    static constexpr size_t kShortestPrefix = 3;
    static constexpr size_t kLongestPrefix = 7;
    struct Row {
        std::uint32_t prefix;
        std::uint32_t place;  // index into places_
        bool operator<(const Row &other) const { return prefix < other.prefix; }
    };

    void read(const std::filesystem::path &file);

    // Rows by prefix length, each sorted by prefix: 8 bytes a row, the text interned in places_.
    std::array<std::vector<Row>, kLongestPrefix - kShortestPrefix + 1> byLength_;
    std::vector<SegmentPlace> places_;
    std::vector<SegmentSource> sources_;
};

}  // namespace zuno::service
