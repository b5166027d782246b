// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <archive.h>
#include <lzma.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zuno::service {

enum class Compression { None, Gzip, Xz, Zstd };

// The bytes of a compressed member as they are unpacked, one filter deep, within a budget:
// at most kMaxBytes out, kMaxTime spent and kMaxDecoderMemory for the decoder's dictionary, so
// that a few kilobytes that claim terabytes (or a 1 GiB window) cost little. Setting cancel
// stops it at the next chunk.
class BoundedUnpacker
{
public:
    static constexpr std::uint64_t kMaxBytes = 32 * 1024 * 1024;
    static constexpr std::chrono::seconds kMaxTime{2};
    // xz -9 needs 65 MiB to decode; a larger dictionary is refused before it is allocated.
    static constexpr std::uint64_t kMaxDecoderMemory = 72 * 1024 * 1024;

    enum class Stop { None, Broken, TooCostly, Cancelled };

    // packed must outlive the unpacker.
    BoundedUnpacker(std::string_view packed, Compression compression,
                    const std::atomic<bool> &cancel);
    ~BoundedUnpacker();
    BoundedUnpacker(const BoundedUnpacker &) = delete;
    BoundedUnpacker &operator=(const BoundedUnpacker &) = delete;

    // The next unpacked bytes; empty at the end, and once stopped (see stopped()).
    std::string_view next();
    Stop stopped() const { return stop_; }

private:
    std::string_view nextXz();
    bool withinBudget();

    struct ArchiveFree {
        void operator()(archive *reader) const { archive_read_free(reader); }
    };

    std::string_view packed_;
    const Compression compression_;
    const std::atomic<bool> &cancel_;
    const std::chrono::steady_clock::time_point deadline_;
    std::uint64_t unpacked_ = 0;
    Stop stop_ = Stop::None;
    bool ended_ = false;
    std::unique_ptr<archive, ArchiveFree> raw_;  // gzip and zstd: libarchive's raw format
    lzma_stream xz_ = LZMA_STREAM_INIT;          // xz: liblzma, for its memory limit
    std::string chunk_;
};

}  // namespace zuno::service
