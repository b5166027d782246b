// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/folder_watcher.h"

#include "log/log_line.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace zuno::service {
namespace {

// After an event, wait until the folder has been quiet this long, but no longer than
// kLongestSettle while it keeps changing: a file being copied in causes one scan, not thousands.
constexpr int kSettleMilliseconds = 300;
constexpr auto kLongestSettle = std::chrono::seconds(2);
// How often the path is checked for naming another folder, with inotify.
constexpr int kFollowMilliseconds = 2000;
constexpr int kRetryMilliseconds = 1000;
constexpr std::uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
    IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::uint64_t mixed(std::uint64_t value)
{
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    return value;
}

bool sameFolder(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

FolderWatcher::FolderWatcher(std::filesystem::path folder)
    : path_(std::move(folder)), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    UniqueFd directory(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory || !wake_)
        throw std::filesystem::filesystem_error("cannot open", path_,
                                                std::error_code(errno, std::system_category()));
    directory_ = std::make_shared<const UniqueFd>(std::move(directory));
    std::string why;
    if (const char *seconds = std::getenv(kPollingVariable)) {
        pollEvery_ = std::chrono::seconds(std::max(1, std::atoi(seconds)));
        why = std::string(kPollingVariable) + " is set";
    } else {
        inotify_ = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (inotify_)
            watch_ = ::inotify_add_watch(inotify_.get(), path_.c_str(), kChanges);
        if (watch_ < 0)
            why = std::strerror(errno);
    }
    if (watch_ < 0)
        fallBackToChecking(why);
}

void FolderWatcher::fallBackToChecking(const std::string &why)
{
    inotify_ = UniqueFd();
    fingerprint_ = fingerprint();
    logLine(LogLevel::Warning,
            "downloads: cannot watch " + path_.string() + " (" + why + "): checking it every " +
                std::to_string(pollEvery_.count() / 1000) + " s instead");
}

std::shared_ptr<const UniqueFd> FolderWatcher::directory() const
{
    const std::lock_guard lock(mutex_);
    return directory_;
}

void FolderWatcher::wake()
{
    const std::uint64_t one = 1;
    // The eventfd cannot be full with one write; a failure leaves the next periodic check.
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void FolderWatcher::stop()
{
    stopping_ = true;
    wake();
}

bool FolderWatcher::wait(bool retrySoon)
{
    for (;;) {
        int timeout = inotify_ ? kFollowMilliseconds : static_cast<int>(pollEvery_.count());
        if (retrySoon)
            timeout = std::min(timeout, kRetryMilliseconds);
        pollfd watched[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        const int ready = ::poll(watched, inotify_ ? 2 : 1, timeout);
        if (stopping_)
            return false;
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && (watched[0].revents & POLLIN)) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wake_.get(), &count, sizeof count);
            return true;
        }
        if (ready > 0 && (watched[1].revents & POLLIN)) {
            if (!settle())
                return false;
            followPath();
            return true;
        }
        if (ready != 0)
            continue;
        if (followPath() || retrySoon)
            return true;
        if (!inotify_) {
            const std::uint64_t now = fingerprint();
            if (now != 0 && now != fingerprint_) {
                fingerprint_ = now;
                return true;
            }
        }
    }
}

// Reads events until none came for a moment (or for long enough); false once stopping.
bool FolderWatcher::settle()
{
    const auto start = std::chrono::steady_clock::now();
    alignas(inotify_event) char events[4096];
    for (;;) {
        while (::read(inotify_.get(), events, sizeof events) > 0) {}
        if (std::chrono::steady_clock::now() - start > kLongestSettle)
            return !stopping_;
        pollfd watched[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, kSettleMilliseconds);
        if (stopping_)
            return false;
        if (ready == 0)
            return true;
    }
}

// Opens the folder the path names now when it is no longer the one open; true when it did.
bool FolderWatcher::followPath()
{
    struct stat named {
    }, open{};
    const std::shared_ptr<const UniqueFd> current = directory();
    // A path that names nothing for now keeps the old folder, whose entries are gone anyway.
    if (::stat(path_.c_str(), &named) != 0 || !S_ISDIR(named.st_mode) ||
        (::fstat(current->get(), &open) == 0 && sameFolder(named, open)))
        return false;
    UniqueFd reopened(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!reopened)
        return false;  // tried again at the next check
    {
        const std::lock_guard lock(mutex_);
        directory_ = std::make_shared<const UniqueFd>(std::move(reopened));
    }
    if (inotify_) {
        // The old folder's watch ends by itself when it is removed; a swapped link's does not.
        ::inotify_rm_watch(inotify_.get(), watch_);
        watch_ = ::inotify_add_watch(inotify_.get(), path_.c_str(), kChanges);
        if (watch_ < 0)
            fallBackToChecking(std::strerror(errno));
    } else {
        fingerprint_ = fingerprint();
    }
    logLine(LogLevel::Info,
            "downloads: " + path_.string() + " is another folder now: listing that one");
    return true;
}

// What every entry of the folder is now, in one number; 0 when the folder cannot be read now.
std::uint64_t FolderWatcher::fingerprint() const
{
    const std::shared_ptr<const UniqueFd> folder = directory();
    const int listed = ::openat(folder->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        if (listed >= 0)
            ::close(listed);
        return 0;
    }
    // A sum, so that the order readdir gives does not matter.
    std::uint64_t sum = 1;
    while (const dirent *entry = ::readdir(entries)) {
        struct stat status {};
        if (::fstatat(folder->get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        sum += mixed(
            std::hash<std::string_view>()(entry->d_name) ^
            mixed(status.st_ino ^
                  mixed(static_cast<std::uint64_t>(status.st_size) ^
                        mixed(status.st_mtim.tv_nsec ^
                              mixed(status.st_mtim.tv_sec ^ mixed(status.st_ctim.tv_nsec))))));
    }
    ::closedir(entries);
    return sum;
}

}  // namespace zuno::service
