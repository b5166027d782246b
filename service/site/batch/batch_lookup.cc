// SPDX-License-Identifier: Apache-2.0
#include "site/batch/batch_lookup.h"

#include "http/query.h"
#include "site/error_responses.h"

#include <boost/beast/http/field.hpp>

#include <utility>

namespace zuno::service {
namespace {

constexpr std::string_view kCsvContentType = "text/csv; charset=utf-8; header=present";
constexpr std::string_view kJsonLinesContentType = "application/x-ndjson; charset=utf-8";

}  // namespace

std::optional<StringResponse> BatchLookup::refusal(unsigned version)
{
    if (!writer_.overLimit())
        return std::nullopt;
    return problemResponse(boost::beast::http::status::payload_too_large, version,
                           "too_many_numbers",
                           "每次最多查询 " + std::to_string(writer_.options().maxRows) + " 个号码");
}

BodyStream::State streamState(BatchWriter::State state)
{
    switch (state) {
    case BatchWriter::State::NeedInput: return BodyStream::State::NeedInput;
    case BatchWriter::State::MoreWork: return BodyStream::State::MoreWork;
    case BatchWriter::State::Done: break;
    }
    return BodyStream::State::Done;
}

StringResponse batchHead(BatchFormat format, unsigned version)
{
    StringResponse response{boost::beast::http::status::ok, version};
    const std::string_view type =
        format == BatchFormat::Csv ? kCsvContentType : kJsonLinesContentType;
    response.set(boost::beast::http::field::content_type,
                 boost::beast::string_view(type.data(), type.size()));
    response.set(boost::beast::http::field::cache_control, "no-store");
    return response;
}

StringResponse BatchLookup::head(unsigned version)
{
    return batchHead(writer_.options().format, version);
}

BatchLookup::State BatchLookup::produce(std::string &out, size_t rows)
{
    return streamState(writer_.produce(out, rows));
}

std::optional<BatchOptions> batchOptions(std::string_view query, size_t maxRows)
{
    BatchOptions options;
    options.maxRows = maxRows;
    const auto format = queryParameter(query, "format");
    if (format && *format == "jsonl")
        options.format = BatchFormat::JsonLines;
    else if (format && *format != "csv")
        return std::nullopt;
    const auto bom = queryParameter(query, "bom");
    if (bom && *bom != "0" && *bom != "1")
        return std::nullopt;
    options.byteOrderMark = bom == "1";
    return options;
}

}  // namespace zuno::service
