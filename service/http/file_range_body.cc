// SPDX-License-Identifier: Apache-2.0
#include "http/file_range_body.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zuno::service {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        UniqueFd old(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    // Nothing useful can be done about a failed close of a file only read.
    if (fd_ >= 0)
        ::close(fd_);
}

boost::optional<std::pair<FileRangeBody::writer::const_buffers_type, bool>>
FileRangeBody::writer::get(boost::beast::error_code &error)
{
    error = {};
    if (remain_ == 0)
        return boost::none;
    const size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(remain_, sizeof buffer_));
    ssize_t got;
    do {
        got = ::pread(body_.file.get(), buffer_, wanted, static_cast<off_t>(position_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        error = boost::beast::error_code(errno, boost::beast::system_category());
        return boost::none;
    }
    if (got == 0) {
        error = boost::beast::http::error::short_read;
        return boost::none;
    }
    position_ += static_cast<std::uint64_t>(got);
    remain_ -= static_cast<std::uint64_t>(got);
    return std::pair{const_buffers_type(buffer_, static_cast<size_t>(got)), remain_ > 0};
}

}  // namespace zuno::service
