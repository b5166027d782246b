// SPDX-License-Identifier: Apache-2.0
#include "log/log_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace zuno::service {
namespace {

constexpr std::string_view kProgramPrefix = "zuno-lookupd: ";
// Lines waiting to be written, at most: as much again as a pipe holds, enough for a burst
// while the reader catches up, small enough that a stuck reader costs little memory.
constexpr size_t kMostQueuedBytes = 64 * 1024;

// Whether standard error is the journal's stream, as sd-daemon(3) says to tell: JOURNAL_STREAM
// holds the device and inode of the stream systemd connected.
bool writesToJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (!stream || fstat(STDERR_FILENO, &status) != 0)
        return false;
    unsigned long long device = 0, inode = 0;
    char end = '\0';
    return std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2 &&
        device == static_cast<unsigned long long>(status.st_dev) &&
        inode == static_cast<unsigned long long>(status.st_ino);
}

// All of text to standard error; false when the system refuses it (the reader left: EPIPE, as
// SIGPIPE is ignored; no standard error: EBADF).
bool writeAll(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Lines go through a bounded queue to a thread of their own that writes them, rather than each
// caller writing its line: a write to a pipe or terminal whose reader has stopped blocks, and
// a non-blocking descriptor cannot be had without changing standard error for every process
// that shares it. So a caller only ever takes a lock for a moment, and a full queue drops.
class LogWriter
{
public:
    LogWriter() : journal_(writesToJournal())
    {
        try {
            std::thread([this] { writeLines(); }).detach();
            threaded_ = true;
        } catch (const std::system_error &) {
            // No thread to spare: lines are written by their callers, as they come.
        }
    }

    void add(LogLevel level, std::string_view text, LogForm form)
    {
        std::string line;
        line.reserve(text.size() + 20);
        if (journal_)
            line.append("<").append(std::to_string(static_cast<int>(level))).append(">");
        else if (form == LogForm::Message)
            line.append(kProgramPrefix);
        for (const char c : text)
            line += c == '\n' || c == '\r' ? ' ' : c;
        line += '\n';
        if (!threaded_) {
            if (!writeAll(line))
                dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const std::lock_guard lock(mutex_);
        if (queued_.size() + line.size() > kMostQueuedBytes) {
            ++unreported_;
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        queued_ += line;
        ++queuedLines_;
        wake_.notify_one();
    }

    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    void flush(std::chrono::milliseconds most)
    {
        std::unique_lock lock(mutex_);
        if (!idle_.wait_for(lock, most, [this] { return queued_.empty() && !writing_; })) {
            dropped_.fetch_add(queuedLines_, std::memory_order_relaxed);
            queued_.clear();
            queuedLines_ = 0;
        }
    }

private:
    // The thread: writes what is queued, all at once, and reports what was dropped as soon as
    // a write succeeds again.
    void writeLines()
    {
        std::string batch;
        std::unique_lock lock(mutex_);
        while (true) {
            writing_ = false;
            idle_.notify_all();
            wake_.wait(lock, [this] { return !queued_.empty(); });
            batch.clear();
            std::swap(batch, queued_);
            const size_t lines = std::exchange(queuedLines_, 0);
            writing_ = true;
            lock.unlock();
            const bool written = writeAll(batch);
            lock.lock();
            if (!written) {
                unreported_ += lines;
                dropped_.fetch_add(lines, std::memory_order_relaxed);
                continue;
            }
            if (unreported_ == 0)
                continue;
            const std::uint64_t lost = unreported_;
            std::string report = journal_ ? "<4>" : std::string(kProgramPrefix);
            report += std::to_string(lost) + " log lines dropped\n";
            lock.unlock();
            const bool reported = writeAll(report);
            lock.lock();
            if (reported)
                unreported_ -= lost;
        }
    }

    const bool journal_;
    bool threaded_ = false;
    std::atomic<std::uint64_t> dropped_{0};
    std::mutex mutex_;
    std::condition_variable wake_;  // lines are queued
    std::condition_variable idle_;  // nothing queued and nothing being written
    std::string queued_;            // whole lines, at most kMostQueuedBytes
    size_t queuedLines_ = 0;
    bool writing_ = false;
    std::uint64_t unreported_ = 0;  // dropped since the last report
};

std::atomic<LogWriter *> made{nullptr};

// Made on first use, never destroyed: at exit its thread may still be blocked in a write that
// will never end.
LogWriter &writer()
{
    alignas(LogWriter) static unsigned char storage[sizeof(LogWriter)];
    static LogWriter *const instance = new (storage) LogWriter;
    made.store(instance, std::memory_order_release);
    return *instance;
}

}  // namespace

void logLine(LogLevel level, std::string_view text, LogForm form)
{
    writer().add(level, text, form);
}

std::uint64_t logLinesDropped()
{
    const LogWriter *existing = made.load(std::memory_order_acquire);
    return existing ? existing->dropped() : 0;
}

void flushLog(std::chrono::milliseconds most)
{
    if (LogWriter *existing = made.load(std::memory_order_acquire))
        existing->flush(most);
}

}  // namespace zuno::service
