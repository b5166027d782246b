// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/file_range_body.h"
#include "site/downloads/debian_package.h"
#include "site/downloads/windows_program.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

// One file as the download list shows it.
struct DownloadEntry {
    std::string name;  // UTF-8
    std::uint64_t size = 0;
    std::time_t modified = 0;
    std::optional<PackageInfo> package;  // for a .deb that reads as one
    bool packagePending = false;         // a .deb, .exe or .zip not read yet
    bool packageRefused = false;         // reading them took more than any package needs
    std::string sha256;                  // lower-case hex; empty until computed
    bool digestFailed = false;           // the file could not be read to the end
    // For an .exe, or a .zip holding one, whose version record reads: that version.
    std::optional<std::string> programVersion;
    // Which file this was when scanned, so that work done for it is kept across scans.
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
};

struct DownloadListing {
    // False until the folder has been read once.
    bool scanned = false;
    // At most kMaxShown files: packages (.deb, .exe, .zip) first, then the others, each part
    // by name.
    std::vector<DownloadEntry> shown;
    // All files the folder offers, shown or not.
    size_t total = 0;
    // The newest valid Version among the Debian packages shown; empty without them.
    std::string latestVersion;
};

// A file of the folder opened for sending, and what fstat said of that open descriptor.
struct OpenedFile {
    UniqueFd file;
    struct stat status {};
};

// The folder whose files the site offers under /download/NAME. Only regular files directly
// inside it whose names are UTF-8 and do not start with '.' are listed or served: a name is
// opened relative to the folder without following a symbolic link and without waiting on a
// FIFO, and the open descriptor must be a regular file.
//
// A thread of the folder's own makes the listing, first after the folder is opened and again
// whenever a FolderWatcher says it changed or rescan() is called, and then reads each shown
// package's fields and works out each shown file's SHA-256, publishing the listing after each
// step: requests only ever read the last listing published, and never wait for that work. Where
// a step fails for want of descriptors, the last listing stays and the step is tried again.
class DownloadFolder
{
public:
    // The most files a listing shows, so that the home page stays small whatever the folder holds.
    static constexpr size_t kMaxShown = 50;

    // No folder: nothing is listed or served.
    DownloadFolder();
    // Throws std::filesystem::filesystem_error when folder is not a directory it can open.
    // Returns at once: the folder is read on the folder's thread.
    explicit DownloadFolder(const std::filesystem::path &folder);
    DownloadFolder(DownloadFolder &&) noexcept;
    DownloadFolder &operator=(DownloadFolder &&) noexcept;
    ~DownloadFolder();

    // Whether a folder was given; without one, the listing is always empty.
    bool hasFolder() const { return lister_ != nullptr; }
    // The last listing made; never null.
    std::shared_ptr<const DownloadListing> listing() const;

    // The file a request names (already percent-decoded), when the folder offers it. Throws
    // std::system_error when the process is out of descriptors, which says nothing of the file.
    std::optional<OpenedFile> open(std::string_view name) const;

    // From any thread: reads the folder again now, as if it had changed.
    void rescan() const;

private:
    class Lister;
    std::unique_ptr<Lister> lister_;
};

}  // namespace zuno::service
