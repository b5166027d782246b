// SPDX-License-Identifier: Apache-2.0
#include "text/csv_cell.h"

namespace zuno::service {

void appendCsvCell(std::string &out, std::string_view text, CsvOrigin origin)
{
    const bool formula = origin == CsvOrigin::Outside && !text.empty() &&
        (text.front() == '=' || text.front() == '+' || text.front() == '-' || text.front() == '@' ||
         text.front() == '\t' || text.front() == '\r');
    // One pass over the bytes: find_first_of would search the set once for every byte.
    bool quote = !text.empty() && (text.front() == ' ' || text.back() == ' ');
    for (const char c : text)
        quote = quote || c == ',' || c == '"' || c == '\r' || c == '\n';
    if (quote)
        out += '"';
    if (formula)
        out += '\'';
    if (!quote) {
        out.append(text);
        return;
    }
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string csvCell(std::string_view text, CsvOrigin origin)
{
    std::string cell;
    appendCsvCell(cell, text, origin);
    return cell;
}

}  // namespace zuno::service
