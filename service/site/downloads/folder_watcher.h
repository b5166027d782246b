// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/file_range_body.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace zuno::service {

// Tells its one caller when a folder may have changed: through inotify where it can, otherwise
// by comparing every entry's name, inode, size and times every few seconds. Either way it also
// notices when the path comes to name another folder (removed and made again, a symbolic link
// in the path swapped) and from then on watches that one.
class FolderWatcher
{
public:
    // Set in the environment only by tests: no inotify, and a check every so many seconds.
    static constexpr const char *kPollingVariable = "ZUNO_LOOKUPD_POLL_DOWNLOADS";

    // Throws std::filesystem::filesystem_error when folder is not a directory it can open.
    explicit FolderWatcher(std::filesystem::path folder);
    FolderWatcher(const FolderWatcher &) = delete;
    FolderWatcher &operator=(const FolderWatcher &) = delete;

    // The folder as last opened; a caller keeps it open while another one replaces it.
    std::shared_ptr<const UniqueFd> directory() const;

    // Waits until the folder may have changed or wake() was called (true), or stop() was
    // called (false). With retrySoon, returns true within a second anyway.
    bool wait(bool retrySoon);
    // From any thread: the next wait() returns at once.
    void wake();
    void stop();

private:
    void fallBackToChecking(const std::string &why);
    bool settle();
    bool followPath();
    std::uint64_t fingerprint() const;

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::shared_ptr<const UniqueFd> directory_;
    UniqueFd inotify_;
    int watch_ = -1;
    UniqueFd wake_;
    std::chrono::milliseconds pollEvery_{5000};
    std::uint64_t fingerprint_ = 0;
    std::atomic<bool> stopping_{false};
};

}  // namespace zuno::service
