// SPDX-License-Identifier: Apache-2.0
// A streamed request body held ahead of its answer, in memory and then in a temporary file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuno::service {

// A first-in first-out queue of request body bytes that the answer has not yet taken: held in
// memory up to a small size, the rest in an unnamed temporary file, up to a limit. Lets the
// connection go on reading a body while its answer waits for a client that reads only after it
// has sent everything.
class BodySpool
{
public:
    explicit BodySpool(std::uint64_t limit);
    ~BodySpool();
    BodySpool(const BodySpool &) = delete;
    BodySpool &operator=(const BodySpool &) = delete;

    enum class Appended {
        Taken,
        // Taken, but the file could not be made or written (a missing or full folder): the
        // bytes wait in memory, and no more should come until the spool is empty again.
        Held,
        // Nothing taken: the bytes would pass the limit.
        OverLimit,
    };
    Appended append(std::string_view bytes);
    // Moves up to max of the oldest bytes into out (replacing its contents); throws when the
    // file cannot be read back.
    void take(std::string &out, size_t max);

    std::uint64_t size() const
    {
        return memory_.size() - memoryTaken_ + fileWritten_ - fileRead_ + held_.size();
    }
    bool empty() const { return size() == 0; }
    // Why the file failed the first time it did; empty while it has not.
    const std::string &fileProblem() const { return fileProblem_; }

private:
    bool openFile();
    bool writeFile(std::string_view &bytes);
    void noteProblem(const char *what);

    std::uint64_t limit_;
    std::string memory_;
    size_t memoryTaken_ = 0;
    int file_ = -1;
    std::uint64_t fileWritten_ = 0;
    std::uint64_t fileRead_ = 0;
    // Bytes the file did not take, after those in it.
    std::string held_;
    std::string fileProblem_;
};

}  // namespace zuno::service
