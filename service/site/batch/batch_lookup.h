// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
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

// Looks up every number of a batch body as it arrives and answers one row per input, in order:
// CSV (a header row, CRLF, RFC 4180 quoting, empty for null) or JSON Lines, with the API's
// fields. An input that is no number gets its row with the message that says why; a last row
// with only a message says when the rest was not looked up (over the limit, the body cut short,
// JSON that is not an array of strings). The API's stream, the upload form's and the command
// line's all write through here.
class BatchLookup : public BodyStream
{
public:
    BatchLookup(const NumberLookup &lookup, BatchOptions options);

    std::optional<StringResponse> refusal(unsigned version) override;
    StringResponse head(unsigned version) override;
    void feed(std::string_view bytes) override { input_.feed(bytes); }
    void end(bool complete) override;
    // The input is whole, and a last row with `message` (and its code) follows its rows.
    void endWith(std::string_view code, std::string message);
    State produce(std::string &out, size_t rows) override;
    void takeVerdicts(std::array<std::uint64_t, kVerdictCount> &counts) override;

    size_t rowsAnswered() const { return rows_; }

private:
    void writeRow(std::string &out, const LookupFields &fields) const;
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

// A stream that only refuses, for a request its route cannot take.
class RefusedStream : public BodyStream
{
public:
    explicit RefusedStream(StringResponse refusal) : refusal_(std::move(refusal)) {}

    std::optional<StringResponse> refusal(unsigned) override { return refusal_; }
    StringResponse head(unsigned) override { return refusal_; }
    void feed(std::string_view) override {}
    void end(bool) override {}
    State produce(std::string &, size_t) override { return State::Done; }
    void takeVerdicts(std::array<std::uint64_t, kVerdictCount> &) override {}

private:
    StringResponse refusal_;
};

// The batch's options from the API's query: format=csv (the default) or jsonl, bom=1; nothing
// for a query that asks for what there is not.
std::optional<BatchOptions> batchOptions(std::string_view query, size_t maxRows);

}  // namespace zuno::service
