// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/verdict.h"
#include "site/batch/batch_input.h"
#include "site/lookup/lookup_json.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuno::service {

class NumberLookup;
class Site;

enum class BatchFormat : std::uint8_t { Csv, JsonLines };

struct BatchOptions {
    BatchFormat format = BatchFormat::Csv;
    bool byteOrderMark = false;  // CSV only: Excel reads UTF-8 only after one
    size_t maxRows = 0;          // 0: no limit
    // What the site adds to a lookup (community places and labels); none when null.
    const Site *site = nullptr;
};

// Looks up every number of a batch as it arrives and writes one row per input, in order: CSV (a
// header row, CRLF, RFC 4180 quoting, empty for null) or JSON Lines, with the API's fields. An
// input that is no number gets its row with the message that says why; a last row with only a
// message says when the rest was not looked up (over the limit, the input cut short, JSON that
// is not an array of strings). The API's stream, the upload form's and the command line's rows
// all come from here; none of them knows of HTTP here.
class BatchWriter
{
public:
    enum class State : std::uint8_t {
        NeedInput,  // feed() more, or end()
        MoreWork,   // produce() again
        Done,       // every row is written
    };

    BatchWriter(const NumberLookup &lookup, BatchOptions options);

    const BatchOptions &options() const { return options_; }
    // Appends bytes of the input; call only after produce() said NeedInput.
    void feed(std::string_view bytes) { input_.feed(bytes); }
    // No more bytes: the input was whole, or it stopped before its end.
    void end(bool complete);
    // The input is whole, and a last row with `message` (and its code) follows its rows.
    void endWith(std::string_view code, std::string message);
    // Appends the rows of at most `rows` more inputs to out; the CSV header comes with the first.
    State produce(std::string &out, size_t rows);
    // The input is whole and holds more numbers than maxRows: refused instead while no row has
    // gone out.
    bool overLimit() const;
    // Adds the verdicts of the lookups made since the last call to counts.
    void takeVerdicts(std::array<std::uint64_t, kVerdictCount> &counts);

private:
    // typedMembers: typedQueryMembers() of the row's outcome, written in JSON Lines only.
    void writeRow(std::string &out, const LookupFields &fields,
                  std::string_view typedMembers = {}) const;
    void writeMessageRow(std::string &out, std::string_view code, std::string message) const;

    const NumberLookup &lookup_;
    BatchOptions options_;
    BatchInput input_;
    bool started_ = false;
    bool ended_ = false;
    bool complete_ = false;
    bool done_ = false;
    std::string_view closingCode_;
    std::string closingMessage_;
    size_t rows_ = 0;
    std::array<std::uint64_t, kVerdictCount> verdicts_{};
};

}  // namespace zuno::service
