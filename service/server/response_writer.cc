// SPDX-License-Identifier: Apache-2.0
#include "server/response_writer.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <charconv>
#include <type_traits>

namespace zuno::service {
namespace {

std::string_view view(boost::beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

void appendHeader(std::string &out, const http::response_header<> &head)
{
    using namespace std::string_view_literals;
    char number[8];
    out.append("HTTP/"sv);
    out += static_cast<char>('0' + head.version() / 10);
    out += '.';
    out += static_cast<char>('0' + head.version() % 10);
    out += ' ';
    out.append(number, std::to_chars(number, number + sizeof number, head.result_int()).ptr);
    out += ' ';
    out.append(view(head.reason()));
    out.append("\r\n"sv);
    for (const auto &field : head) {
        out.append(view(field.name_string()));
        out.append(": "sv);
        out.append(view(field.value()));
        out.append("\r\n"sv);
    }
    out.append("\r\n"sv);
}

void ResponseWriter::send(Response response, bool draining, std::shared_ptr<void> keep)
{
    deadlines_.awaitSend();
    sentThisResponse_ = 0;
    response_.emplace(std::move(response));
    std::visit(
        [this, draining, &keep](auto &message) {
            if (draining)
                message.keep_alive(false);
            keepAlive_ = message.keep_alive();
            status_ = message.result_int();
            using Body = typename std::decay_t<decltype(message)>::body_type;
            if constexpr (std::is_same_v<Body, http::string_body>) {
                // A short answer goes out in one write of its header and body, without the
                // serializer's buffer sequences.
                if (!message.chunked()) {
                    flatHeader_.clear();
                    appendHeader(flatHeader_, message.base());
                    headerSize_ = flatHeader_.size();
                    flatBody_ = message.body();
                    writeFlat(std::move(keep));
                    return;
                }
            }
            if (accessLog_) {
                flatHeader_.clear();
                appendHeader(flatHeader_, message.base());
                headerSize_ = flatHeader_.size();
            }
            serializer_.template emplace<http::response_serializer<Body>>(message);
            writeSerialized(std::move(keep));
        },
        *response_);
}

void ResponseWriter::startStreamedHead(const StringResponse &head, std::string &out)
{
    keepAlive_ = head.keep_alive();
    status_ = head.result_int();
    appendHeader(out, head.base());
    headerSize_ = out.size();
    sentThisResponse_ = 0;
}

void ResponseWriter::writeFlat(std::shared_ptr<void> keep)
{
    const size_t sent = sentThisResponse_;
    std::array<boost::asio::const_buffer, 2> buffers;
    if (sent < flatHeader_.size()) {
        buffers[0] = boost::asio::buffer(flatHeader_.data() + sent, flatHeader_.size() - sent);
        buffers[1] = boost::asio::buffer(flatBody_.data(), flatBody_.size());
    } else {
        const size_t bodySent = sent - flatHeader_.size();
        buffers[0] = boost::asio::buffer(flatBody_.data() + bodySent, flatBody_.size() - bodySent);
    }
    socket_.async_write_some(
        buffers, [this, keep = std::move(keep)](boost::beast::error_code error, std::size_t n) mutable {
            const size_t total = flatHeader_.size() + flatBody_.size();
            onWritten(error, n, sentThisResponse_ + n >= total, std::move(keep));
        });
}

void ResponseWriter::writeSerialized(std::shared_ptr<void> keep)
{
    std::visit(
        [this, &keep](auto &serializer) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(serializer)>, std::monostate>) {
                http::async_write_some(
                    socket_, serializer,
                    [this, keep = std::move(keep), &serializer](boost::beast::error_code error,
                                                                std::size_t n) mutable {
                        onWritten(error, n, !error && serializer.is_done(), std::move(keep));
                    });
            }
        },
        serializer_);
}

void ResponseWriter::onWritten(boost::beast::error_code error, std::size_t bytes, bool done,
                               std::shared_ptr<void> keep)
{
    sentThisResponse_ += bytes;
    count(bytes);
    if (error || done) {
        onSent_(error);
        return;
    }
    // Progress, however slow, keeps a large answer going.
    if (bytes > 0)
        deadlines_.awaitSend();
    if (std::holds_alternative<std::monostate>(serializer_))
        writeFlat(std::move(keep));
    else
        writeSerialized(std::move(keep));
}

void ResponseWriter::count(std::size_t bytes)
{
    written_ += bytes;
    metrics_.bytesSent.add(bytes);
}

void ResponseWriter::reset()
{
    serializer_.template emplace<std::monostate>();
    response_.reset();
    flatBody_ = {};
    // The next exchange's log line counts only its own answer, even one cut off before it began.
    sentThisResponse_ = 0;
    headerSize_ = 0;
}

}  // namespace zuno::service
