// SPDX-License-Identifier: Apache-2.0
#include "server/body_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace zuno::service {
namespace {

// Bytes past this go to the file: a connection's memory stays small however large its body.
constexpr size_t kMemoryBytes = 64 * 1024;

std::system_error fileError(const char *what)
{
    return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

BodySpool::BodySpool(std::uint64_t limit) : limit_(limit) {}

BodySpool::~BodySpool()
{
    if (file_ >= 0)
        ::close(file_);
}

void BodySpool::noteProblem(const char *what)
{
    if (fileProblem_.empty())
        fileProblem_ = std::string(what) + ": " + std::strerror(errno);
}

bool BodySpool::openFile()
{
    const char *folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0')
        folder = "/tmp";
    // Unnamed: the system frees it when the descriptor closes, whatever ends the process.
    file_ = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file_ >= 0)
        return true;
    // A file system without unnamed files: a named one, removed at once.
    std::string name = std::string(folder) + "/zuno-body-XXXXXX";
    file_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (file_ < 0) {
        noteProblem("cannot make a temporary file for a request body");
        return false;
    }
    ::unlink(name.c_str());
    return true;
}

bool BodySpool::writeFile(std::string_view &bytes)
{
    while (!bytes.empty()) {
        const ssize_t wrote =
            ::pwrite(file_, bytes.data(), bytes.size(), static_cast<off_t>(fileWritten_));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            noteProblem("cannot write a request body to its temporary file");
            return false;
        }
        fileWritten_ += static_cast<std::uint64_t>(wrote);
        bytes.remove_prefix(static_cast<size_t>(wrote));
    }
    return true;
}

BodySpool::Appended BodySpool::append(std::string_view bytes)
{
    if (size() + bytes.size() > limit_)
        return Appended::OverLimit;
    if (held_.empty() && (file_ < 0 || fileWritten_ == fileRead_)) {
        // The file is empty: memory comes first in the queue again.
        if (memoryTaken_ == memory_.size()) {
            memory_.clear();
            memoryTaken_ = 0;
        }
        if (fileWritten_ == 0 && memory_.size() + bytes.size() <= kMemoryBytes) {
            memory_.append(bytes);
            return Appended::Taken;
        }
    }
    // Behind bytes already held nothing goes to the file, so that the order stays.
    if (held_.empty() && (file_ >= 0 || openFile()) && writeFile(bytes))
        return Appended::Taken;
    held_.append(bytes);
    return Appended::Held;
}

void BodySpool::take(std::string &out, size_t max)
{
    out.clear();
    if (memoryTaken_ < memory_.size()) {
        const size_t n = std::min(max, memory_.size() - memoryTaken_);
        out.assign(memory_, memoryTaken_, n);
        memoryTaken_ += n;
        return;
    }
    if (fileRead_ == fileWritten_) {
        out.swap(held_);
        if (out.size() > max) {
            held_.assign(out, max);
            out.resize(max);
        }
        return;
    }
    out.resize(static_cast<size_t>(std::min<std::uint64_t>(max, fileWritten_ - fileRead_)));
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n =
            ::pread(file_, out.data() + got, out.size() - got, static_cast<off_t>(fileRead_ + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw fileError("cannot read a request body from its temporary file");
        got += static_cast<size_t>(n);
    }
    fileRead_ += got;
    if (fileRead_ == fileWritten_) {
        // All read back: the file starts over, so that it never holds more than is waiting.
        if (::ftruncate(file_, 0) != 0)
            throw fileError("cannot empty a request body's temporary file");
        fileRead_ = fileWritten_ = 0;
    }
}

}  // namespace zuno::service
