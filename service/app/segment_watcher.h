// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace zuno::service {

class SegmentStore;

// Keeps the segment files' table current on a thread of its own: reads them again when asked
// (the server's SIGHUP) and when one of them changes (its inode, size or modification time, looked
// at every second). A reload that fails keeps the table in force and logs why; lookups never wait
// for a reload.
class SegmentWatcher
{
public:
    // The files must have been loaded into store once already.
    SegmentWatcher(SegmentStore &store, std::vector<std::filesystem::path> files);
    ~SegmentWatcher();
    SegmentWatcher(const SegmentWatcher &) = delete;
    SegmentWatcher &operator=(const SegmentWatcher &) = delete;

    // From any thread: reads the files again on the watcher's thread.
    void reloadNow();

private:
    struct Seen {
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{};
        bool operator==(const Seen &other) const;
    };
    std::vector<Seen> look() const;
    void reload(const std::string &why);
    void awaitTick();

    SegmentStore &store_;
    const std::vector<std::filesystem::path> files_;
    std::vector<Seen> seen_;
    boost::asio::io_context context_;
    boost::asio::steady_timer tick_;
    std::thread thread_;
};

}  // namespace zuno::service
