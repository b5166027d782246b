// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional/optional.hpp>

#include <cstdint>
#include <utility>

namespace zuno::service {

// An open file descriptor and its one owner: closed when the owner goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    ~UniqueFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A Beast body that sends length bytes of an already open file from offset on, read with pread
// so that the descriptor, not a name, says what is sent. A file that ends early (truncated while
// being sent) fails the write with http::error::short_read instead of padding or waiting.
struct FileRangeBody {
    struct value_type {
        UniqueFd file;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };

    static std::uint64_t size(const value_type &body) { return body.length; }

    class writer
    {
    public:
        using const_buffers_type = boost::asio::const_buffer;

        template<bool isRequest, class Fields>
        writer(const boost::beast::http::header<isRequest, Fields> &, const value_type &body)
            : body_(body), position_(body.offset), remain_(body.length)
        {}

        void init(boost::beast::error_code &error) { error = {}; }

        boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code &error);

    private:
        const value_type &body_;
        std::uint64_t position_;
        std::uint64_t remain_;
        char buffer_[64 * 1024];
    };
};

}  // namespace zuno::service
