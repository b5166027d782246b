// SPDX-License-Identifier: Apache-2.0
#include "app/segment_watcher.h"

#include "log/log_line.h"
#include "number/segment_store.h"

#include <boost/asio/post.hpp>

#include <malloc.h>

#include <chrono>

namespace zuno::service {
namespace {

constexpr std::chrono::seconds kPollInterval{1};

std::string describe(const SegmentTable &table)
{
    std::string text;
    for (const SegmentSource &source : table.sources())
        text += (text.empty() ? "" : ", ") + source.path + " (" + source.name + ", " + source.date +
            ", " + std::to_string(source.rows) + " rows)";
    return text;
}

}  // namespace

bool SegmentWatcher::Seen::operator==(const Seen &other) const
{
    return inode == other.inode && size == other.size && modified.tv_sec == other.modified.tv_sec &&
        modified.tv_nsec == other.modified.tv_nsec;
}

SegmentWatcher::SegmentWatcher(SegmentStore &store, std::vector<std::filesystem::path> files)
    : store_(store), files_(std::move(files)), seen_(look()), tick_(context_)
{
    awaitTick();
    thread_ = std::thread([this] { context_.run(); });
}

SegmentWatcher::~SegmentWatcher()
{
    context_.stop();
    thread_.join();
}

std::vector<SegmentWatcher::Seen> SegmentWatcher::look() const
{
    std::vector<Seen> seen(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) {
        struct stat status {};
        // A file gone for now is a change like any other; its reload then says why it failed.
        if (::stat(files_[i].c_str(), &status) == 0)
            seen[i] = {status.st_ino, status.st_size, status.st_mtim};
    }
    return seen;
}

void SegmentWatcher::reload(const std::string &why)
{
    const auto began = std::chrono::steady_clock::now();
    try {
        std::shared_ptr<const SegmentTable> table = SegmentTable::load(files_);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        logLine(LogLevel::Info,
                "segments reloaded (" + why + ") in " + std::to_string(took.count()) +
                    " ms: " + describe(*table));
        store_.replace(std::move(table));
        // The table replaced is freed once no lookup holds it; its memory and the reload's
        // go back to the system now rather than stay in this thread's heap.
        malloc_trim(0);
    } catch (const SegmentFileError &error) {
        store_.countFailedReload();
        logLine(LogLevel::Error,
                std::string("segments not reloaded (") + why + "), the data in " +
                    "force is kept: " + error.what());
    } catch (const std::bad_alloc &) {
        store_.countFailedReload();
        logLine(LogLevel::Error, "segments not reloaded (" + why + "): out of memory");
    }
}

void SegmentWatcher::reloadNow()
{
    boost::asio::post(context_, [this] {
        seen_ = look();
        reload("SIGHUP");
    });
}

void SegmentWatcher::awaitTick()
{
    tick_.expires_after(kPollInterval);
    tick_.async_wait([this](boost::system::error_code error) {
        if (error)
            return;
        std::vector<Seen> now = look();
        if (now != seen_) {
            seen_ = std::move(now);
            reload("a file changed");
        }
        awaitTick();
    });
}

}  // namespace zuno::service
