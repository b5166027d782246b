// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: any file's bytes read as a .deb, checking that the reading ends quickly
// whatever the bytes claim, and that the fields it gives are what the page may show.
#include "fuzz_checks.h"
#include "site/downloads/debian_package.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace zuno::service;

// The reader's own budget is 2 s of unpacking; the rest is reading at most 4 MiB.
constexpr auto kLongestReading = std::chrono::seconds(4);

using zuno::fuzz::require;

void requireShowable(const std::string &field, const char *what)
{
    require(field.size() <= 200 && decodeUtf8(field).has_value(), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
    const int fd = zuno::fuzz::memoryFile(data, size, "package");

    const std::atomic<bool> cancel{false};
    const auto start = std::chrono::steady_clock::now();
    const PackageReading reading = readDebianPackage(fd, cancel);
    require(std::chrono::steady_clock::now() - start < kLongestReading, "took too long");
    ::close(fd);

    require(reading.outcome != PackageReading::Outcome::Cancelled, "cancelled unasked");
    if (reading.outcome == PackageReading::Outcome::Read) {
        const PackageInfo &info = reading.info;
        require(!info.name.empty() && !info.version.empty(), "read without name or version");
        for (const auto *field : {&info.name, &info.version, &info.architecture, &info.summary})
            requireShowable(*field, "a field too long or not UTF-8");
        require(compareDebianVersions(info.version, info.version) == 0, "version unlike itself");
        isValidDebianVersion(info.version);
    }
    return 0;
}
