// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuno::service {

// What reading a Windows file's version record came to.
struct ProgramReading {
    enum class Outcome {
        Read,         // version holds the record's product version
        NotAProgram,  // not a PE file with a version record we could read within bounds
        Cancelled,    // cancel was set
    };
    Outcome outcome = Outcome::NotAProgram;
    std::string version;  // "1.2" or "1.2.3.4": trailing zero parts past the second dropped
};

// The most bytes one reading takes from a program's headers and resources, and the most
// resource directory entries it looks at: far more than any real version record needs.
inline constexpr std::uint64_t kMaxProgramBytesRead = 1024 * 1024;
inline constexpr int kMaxResourceEntries = 256;
// The largest program a .zip may hold for it to be unpacked and read.
inline constexpr std::uint64_t kMaxZippedProgram = 32 * 1024 * 1024;

// The product version from the VS_FIXEDFILEINFO of a PE file's RT_VERSION resource, reading
// the DOS header, PE header, section table and resource directory with every offset and size
// checked against the file's size, whatever a header claims.
ProgramReading readWindowsProgram(int fd, const std::atomic<bool> &cancel);
ProgramReading readWindowsProgram(std::string_view bytes);

// The same, for the first .exe among the first few members of a .zip, unpacked in memory
// only when it is no larger than kMaxZippedProgram.
ProgramReading readZippedProgram(int fd, const std::atomic<bool> &cancel);

}  // namespace zuno::service
