// SPDX-License-Identifier: Apache-2.0
#include "app/lookup_command.h"

#include "app/site_data.h"
#include "site/batch/batch_writer.h"
#include "site/site.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>

namespace zuno::service {
namespace {

constexpr size_t kPieceSize = 64 * 1024;
// Rows gathered before a write: few system calls, little memory.
constexpr size_t kRowsPerWrite = 1024;

// Writes all of text to standard output; false with errno set when it cannot.
bool writeAll(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t wrote = ::write(STDOUT_FILENO, text.data(), text.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(wrote));
    }
    return true;
}

void sayFailure(const std::string &what)
{
    std::cerr << kProgramName << ": " << what << ": " << std::strerror(errno) << '\n';
}

}  // namespace

int lookupToStandardOutput(const CommandLine &line)
{
    // The data first: a segment file or database that cannot be used is said before any row.
    SegmentStore segments;
    SiteLabels labels;
    OpenedLabels opened;
    try {
        loadSegments(line, segments);
        if (const auto database = labelDatabase(line)) {
            opened = openLabels(*database, line);
            labels.store = opened.store.get();
        }
    } catch (const std::exception &error) {
        std::cerr << kProgramName << ": " << error.what() << '\n';
        return 1;
    }
    const Site site({}, std::move(labels), &segments);

    const std::string &file = line.lookupFile;
    const bool standardInput = file == "-";
    const int descriptor =
        standardInput ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        sayFailure("cannot read \"" + file + "\"");
        return 1;
    }
    struct Closer {
        int descriptor;
        bool owned;
        ~Closer()
        {
            // A file only read: closing it cannot lose anything.
            if (owned)
                ::close(descriptor);
        }
    } closer{descriptor, !standardInput};

    BatchWriter batch(site.lookup(),
                      BatchOptions{line.lookupJsonLines ? BatchFormat::JsonLines : BatchFormat::Csv,
                                   false, 0, &site});
    const auto piece = std::make_unique<char[]>(kPieceSize);
    std::string out;
    while (true) {
        out.clear();
        const BatchWriter::State state = batch.produce(out, kRowsPerWrite);
        if (!writeAll(out)) {
            // A reader that stopped reading (head, a closed pipe) ends the lookup quietly.
            if (errno != EPIPE)
                sayFailure("cannot write the answer");
            return 1;
        }
        if (state == BatchWriter::State::Done)
            return 0;
        if (state == BatchWriter::State::MoreWork)
            continue;
        const ssize_t got = ::read(descriptor, piece.get(), kPieceSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            sayFailure("cannot read \"" + file + "\"");
            return 1;
        }
        if (got == 0)
            batch.end(true);
        else
            batch.feed(std::string_view(piece.get(), static_cast<size_t>(got)));
    }
}

}  // namespace zuno::service
