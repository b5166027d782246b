// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "site/batch/batch_writer.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace zuno::service {

// The batch API's answer: a BatchWriter's rows sent as a streamed HTTP body, refused with 413
// when a body that is all in holds more numbers than the limit.
class BatchLookup : public BodyStream
{
public:
    BatchLookup(const NumberLookup &lookup, BatchOptions options) : writer_(lookup, options) {}

    std::optional<StringResponse> refusal(unsigned version) override;
    StringResponse head(unsigned version) override;
    void feed(std::string_view bytes) override { writer_.feed(bytes); }
    void end(bool complete) override { writer_.end(complete); }
    State produce(std::string &out, size_t rows) override;
    void takeVerdicts(std::array<std::uint64_t, kVerdictCount> &counts) override
    {
        writer_.takeVerdicts(counts);
    }

private:
    BatchWriter writer_;
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

// What a writer's state asks of the connection.
BodyStream::State streamState(BatchWriter::State state);

// The head of a batch's answer: 200, the format's content type, never stored.
StringResponse batchHead(BatchFormat format, unsigned version);

// The batch's options from the API's query: format=csv (the default) or jsonl, bom=1; nothing
// for a query that asks for what there is not.
std::optional<BatchOptions> batchOptions(std::string_view query, size_t maxRows);

}  // namespace zuno::service
