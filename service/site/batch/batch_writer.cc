// SPDX-License-Identifier: Apache-2.0
#include "site/batch/batch_writer.h"

#include "number/number_lookup.h"
#include "site/site.h"
#include "text/csv_cell.h"

#include <utility>

namespace zuno::service {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

BatchWriter::BatchWriter(const NumberLookup &lookup, BatchOptions options)
    : lookup_(lookup), options_(options)
{}

void BatchWriter::end(bool complete)
{
    ended_ = true;
    complete_ = complete;
    // An input cut short ends at its last whole record, never at a piece of one.
    if (complete)
        input_.end();
}

void BatchWriter::endWith(std::string_view code, std::string message)
{
    end(true);
    closingCode_ = code;
    closingMessage_ = std::move(message);
}

bool BatchWriter::overLimit() const
{
    // Only an input that is all in can be counted before the rows begin.
    return ended_ && complete_ && options_.maxRows != 0 &&
        input_.countRemaining() > options_.maxRows;
}

BatchWriter::State BatchWriter::produce(std::string &out, size_t rows)
{
    if (done_)
        return State::Done;
    std::u16string text;
    for (size_t made = 0; made < rows; ++made) {
        const BatchInput::Next next = input_.next(text);
        if (next == BatchInput::Next::NeedInput && !ended_)
            return State::NeedInput;
        // Not before: an answer with nothing but its header has not begun, and may still refuse.
        if (!std::exchange(started_, true) && options_.format == BatchFormat::Csv) {
            if (options_.byteOrderMark)
                out.append(kByteOrderMark);
            const LookupFields names = lookupFields({}, {});
            for (size_t i = 0; i < names.size(); ++i) {
                if (i > 0)
                    out += ',';
                out.append(names[i].name);
            }
            out.append("\r\n");
        }
        if ((next == BatchInput::Next::Item || next == BatchInput::Next::TooLong) &&
            options_.maxRows != 0 && rows_ == options_.maxRows) {
            writeMessageRow(out, "too_many_numbers",
                            "每次最多查询 " + std::to_string(options_.maxRows) +
                                " 个号码，其余未查询");
            done_ = true;
            return State::Done;
        }
        switch (next) {
        case BatchInput::Next::Item: {
            const LookupOutcome outcome =
                options_.site ? options_.site->answer(text) : lookup_.lookup(text);
            ++verdicts_[static_cast<size_t>(outcome.verdict)];
            writeRow(out,
                     lookupFields(outcome, text,
                                  options_.site ? options_.site->labelOf(outcome) : std::nullopt),
                     typedQueryMembers(outcome));
            ++rows_;
            break;
        }
        case BatchInput::Next::TooLong:
            writeMessageRow(out, "record_too_long",
                            "这一行超过 " + std::to_string(BatchInput::kMaxRecordBytes) +
                                " 字节，未查询");
            ++rows_;
            break;
        case BatchInput::Next::Malformed:
            writeMessageRow(out, "json_not_string_array",
                            "JSON 应为字符串数组，此处之后无法读取，其余未查询");
            done_ = true;
            return State::Done;
        case BatchInput::Next::NeedInput:
            writeMessageRow(out, "body_incomplete", "请求正文未发完，其余未查询");
            done_ = true;
            return State::Done;
        case BatchInput::Next::End:
            if (!closingMessage_.empty())
                writeMessageRow(out, closingCode_, std::move(closingMessage_));
            done_ = true;
            return State::Done;
        }
    }
    return State::MoreWork;
}

void BatchWriter::takeVerdicts(std::array<std::uint64_t, kVerdictCount> &counts)
{
    for (size_t i = 0; i < kVerdictCount; ++i)
        counts[i] += std::exchange(verdicts_[i], 0);
}

void BatchWriter::writeRow(std::string &out, const LookupFields &fields,
                           std::string_view typedMembers) const
{
    if (options_.format == BatchFormat::JsonLines) {
        out.append(lookupJson(fields));
        // CSV has its columns; a place list or an extension goes in JSON Lines alone.
        out.insert(out.size() - 1, typedMembers);
        out += '\n';
        return;
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += ',';
        if (fields[i].text)
            appendCsvCell(out, *fields[i].text,
                          i == kE164Field ? CsvOrigin::Own : CsvOrigin::Outside);
    }
    out.append("\r\n");
}

void BatchWriter::writeMessageRow(std::string &out, std::string_view code,
                                  std::string message) const
{
    LookupFields fields = lookupFields({}, {});
    for (LookupField &field : fields) {
        field.text.reset();
        field.json.reset();
    }
    fields[kValidField].text = fields[kValidField].json = "false";
    fields[kMessageField].text = std::move(message);
    fields[kMessageCodeField].text = std::string(code);
    writeRow(out, fields);
}

}  // namespace zuno::service
