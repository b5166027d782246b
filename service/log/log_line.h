// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace zuno::service {

// The priorities of sd-daemon(3), which the journal reads from the start of a line.
enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

enum class LogForm {
    Message,  // "zuno-lookupd: text"
    Record,   // text as it is: an access-log line, the start-up line that names the program
};

// Writes one line to standard error, from any thread, without ever waiting for it: a line that
// cannot be written now (the reader is slow, stopped or gone) is dropped and counted, and the
// loss is reported in a line of its own once writing works again. Line breaks in text become
// spaces. When the journal reads standard error (JOURNAL_STREAM names it), each line starts
// with its priority ("<4>") instead of the program's name.
void logLine(LogLevel level, std::string_view text, LogForm form = LogForm::Message);

// Lines dropped since the process started.
std::uint64_t logLinesDropped();

// Waits up to `most` for the lines already given to be written; those still waiting then are
// dropped. For the end of the process, so that a stuck log cannot hold it.
void flushLog(std::chrono::milliseconds most);

}  // namespace zuno::service
