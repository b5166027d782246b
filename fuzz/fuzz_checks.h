// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace zuno::fuzz {

// A property the code under test must keep: the fuzzer reports the input that breaks it.
inline void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// A file in memory holding the input, read from its start, for readers that take a descriptor.
inline int memoryFile(const std::uint8_t *data, size_t size, const char *name)
{
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    require(fd >= 0, "memfd_create");
    size_t written = 0;
    while (written < size) {
        const ssize_t got = ::write(fd, data + written, size - written);
        require(got > 0, "write");
        written += static_cast<size_t>(got);
    }
    require(::lseek(fd, 0, SEEK_SET) == 0, "lseek");
    return fd;
}

}  // namespace zuno::fuzz
