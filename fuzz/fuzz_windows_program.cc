// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: any bytes read as a Windows program, from memory and through a file, checking
// that both readings agree and give a version the page may show.
#include "fuzz_checks.h"
#include "site/downloads/windows_program.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

using namespace zuno::service;

using zuno::fuzz::require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const ProgramReading inMemory = readWindowsProgram(bytes);

    const int fd = zuno::fuzz::memoryFile(data, size, "program");
    const std::atomic<bool> cancel{false};
    const ProgramReading fromFile = readWindowsProgram(fd, cancel);
    const ProgramReading zipped = readZippedProgram(fd, cancel);
    ::close(fd);

    require(inMemory.outcome == fromFile.outcome && inMemory.version == fromFile.version,
            "file and memory disagree");
    for (const ProgramReading *reading : {&inMemory, &zipped}) {
        require(reading->outcome != ProgramReading::Outcome::Cancelled, "cancelled unasked");
        if (reading->outcome != ProgramReading::Outcome::Read)
            continue;
        // Two to four numbers of at most five digits, separated by dots.
        require(reading->version.size() >= 3 && reading->version.size() <= 23, "version length");
        require(reading->version.find_first_not_of("0123456789.") == std::string_view::npos,
                "version characters");
    }
    return 0;
}
