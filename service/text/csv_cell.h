// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace zuno::service {

// Where a CSV cell's text comes from: the service's own formatting (an E.164 number, a date,
// a count), or outside (what a client sent, what the community or an imported list wrote).
enum class CsvOrigin { Own, Outside };

// Appends one cell of every CSV the service writes. Quoted (RFC 4180) when it holds a comma, a
// quote or a line break, or has a space at an end; a cell from outside that begins with '=',
// '+', '-', '@', a tab or a CR first gets a "'", so that a spreadsheet shows it as text
// instead of running it as a formula (OWASP's advice on CSV injection).
void appendCsvCell(std::string &out, std::string_view text, CsvOrigin origin);
std::string csvCell(std::string_view text, CsvOrigin origin);

}  // namespace zuno::service
