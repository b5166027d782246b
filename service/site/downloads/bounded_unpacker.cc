// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/bounded_unpacker.h"

namespace zuno::service {
namespace {

constexpr size_t kChunk = 64 * 1024;

}  // namespace

BoundedUnpacker::BoundedUnpacker(std::string_view packed, Compression compression,
                                 const std::atomic<bool> &cancel)
    : packed_(packed),
      compression_(compression),
      cancel_(cancel),
      deadline_(std::chrono::steady_clock::now() + kMaxTime),
      chunk_(kChunk, '\0')
{
    if (compression_ == Compression::Xz) {
        if (lzma_stream_decoder(&xz_, kMaxDecoderMemory, LZMA_CONCATENATED) != LZMA_OK)
            stop_ = Stop::Broken;
        xz_.next_in = reinterpret_cast<const std::uint8_t *>(packed_.data());
        xz_.avail_in = packed_.size();
    } else if (compression_ != Compression::None) {
        // One filter appended by hand: libarchive then bids no further ones, so a zstd layer
        // inside the zstd layer comes out as bytes to read as tar, not as another layer.
        raw_.reset(archive_read_new());
        archive_entry *entry = nullptr;
        if (!raw_ || archive_read_support_format_raw(raw_.get()) != ARCHIVE_OK ||
            archive_read_append_filter(raw_.get(),
                                       compression_ == Compression::Gzip
                                           ? ARCHIVE_FILTER_GZIP
                                           : ARCHIVE_FILTER_ZSTD) != ARCHIVE_OK ||
            archive_read_open_memory(raw_.get(), packed_.data(), packed_.size()) != ARCHIVE_OK ||
            archive_read_next_header(raw_.get(), &entry) != ARCHIVE_OK)
            stop_ = Stop::Broken;
    }
}

BoundedUnpacker::~BoundedUnpacker() { lzma_end(&xz_); }

bool BoundedUnpacker::withinBudget()
{
    if (stop_ == Stop::None && cancel_.load(std::memory_order_relaxed))
        stop_ = Stop::Cancelled;
    if (stop_ == Stop::None &&
        (unpacked_ > kMaxBytes || std::chrono::steady_clock::now() > deadline_))
        stop_ = Stop::TooCostly;
    return stop_ == Stop::None;
}

std::string_view BoundedUnpacker::next()
{
    if (ended_ || !withinBudget())
        return {};
    std::string_view bytes;
    if (compression_ == Compression::None) {
        bytes = packed_;
        ended_ = true;
    } else if (compression_ == Compression::Xz) {
        bytes = nextXz();
    } else {
        const la_ssize_t got = archive_read_data(raw_.get(), chunk_.data(), chunk_.size());
        if (got < 0)
            stop_ = Stop::Broken;
        ended_ = got <= 0;
        bytes = std::string_view(chunk_.data(), got > 0 ? static_cast<size_t>(got) : 0);
    }
    unpacked_ += bytes.size();
    return withinBudget() ? bytes : std::string_view();
}

std::string_view BoundedUnpacker::nextXz()
{
    xz_.next_out = reinterpret_cast<std::uint8_t *>(chunk_.data());
    xz_.avail_out = chunk_.size();
    // Headers and padding can take a few calls before any byte comes out.
    while (xz_.avail_out == chunk_.size() && withinBudget()) {
        const lzma_ret result = lzma_code(&xz_, LZMA_FINISH);
        if (result == LZMA_STREAM_END) {
            ended_ = true;
            break;
        }
        if (result == LZMA_MEMLIMIT_ERROR || result == LZMA_MEM_ERROR)
            stop_ = Stop::TooCostly;
        else if (result != LZMA_OK)
            stop_ = Stop::Broken;
    }
    return std::string_view(chunk_.data(), chunk_.size() - xz_.avail_out);
}

}  // namespace zuno::service
