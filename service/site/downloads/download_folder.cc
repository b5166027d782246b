// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/download_folder.h"

#include "log/log_line.h"

#include "site/downloads/file_digest.h"
#include "site/downloads/folder_watcher.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace zuno::service {
namespace {

constexpr size_t kMaxNameBytes = 255;

bool isOutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

// Controls, and characters that show as nothing or turn the text around them (bidirectional
// overrides and isolates, zero-width marks): a name must read as the bytes it is.
bool isInvisible(UChar32 c)
{
    const int8_t type = u_charType(c);
    return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_LINE_SEPARATOR ||
        type == U_PARAGRAPH_SEPARATOR;
}

bool isOfferableName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameBytes || name.front() == '.')
        return false;
    if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
        return false;
    const auto text = decodeUtf8(name);
    if (!text)
        return false;
    for (int32_t i = 0; i < static_cast<int32_t>(text->size());) {
        UChar32 c = 0;
        U16_NEXT(text->data(), i, static_cast<int32_t>(text->size()), c);
        if (isInvisible(c))
            return false;
    }
    return true;
}

bool isDebianName(std::string_view name) { return name.ends_with(".deb"); }
bool isProgramName(std::string_view name) { return name.ends_with(".exe"); }
bool isZipName(std::string_view name) { return name.ends_with(".zip"); }
bool isPackageName(std::string_view name)
{
    return isDebianName(name) || isProgramName(name) || isZipName(name);
}

DownloadEntry entryFor(std::string name, const struct stat &status)
{
    DownloadEntry entry;
    entry.name = std::move(name);
    entry.size = static_cast<std::uint64_t>(status.st_size);
    entry.modified = status.st_mtim.tv_sec;
    entry.device = status.st_dev;
    entry.inode = status.st_ino;
    entry.changed = status.st_ctim;
    entry.packagePending = isPackageName(entry.name);
    return entry;
}

bool sameFile(const DownloadEntry &entry, const struct stat &status)
{
    return entry.device == status.st_dev && entry.inode == status.st_ino &&
        entry.size == static_cast<std::uint64_t>(status.st_size) &&
        entry.changed.tv_sec == status.st_ctim.tv_sec &&
        entry.changed.tv_nsec == status.st_ctim.tv_nsec;
}

bool sameFile(const DownloadEntry &a, const DownloadEntry &b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
        a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

const DownloadEntry *findByName(const DownloadListing &listing, std::string_view name)
{
    for (const DownloadEntry &entry : listing.shown)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

// The newest version among the packages that dpkg would install; a version it cannot parse
// (an epoch past an int, say) never wins.
std::string latestVersionOf(const std::vector<DownloadEntry> &shown)
{
    std::string latest;
    for (const DownloadEntry &entry : shown)
        if (entry.package && isValidDebianVersion(entry.package->version) &&
            (latest.empty() || compareDebianVersions(entry.package->version, latest) > 0))
            latest = entry.package->version;
    return latest;
}

// Throws std::system_error when the process has no descriptor left.
std::optional<OpenedFile> openIn(int directory, std::string_view name)
{
    if (!isOfferableName(name))
        return std::nullopt;
    const std::string terminated(name);
    // O_NOFOLLOW: a symbolic link fails to open; O_NONBLOCK: a FIFO opens at once, to be refused.
    UniqueFd file(::openat(directory, terminated.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file && isOutOfDescriptors(errno))
        throw std::system_error(errno, std::system_category(), "cannot open a download");
    if (!file)
        return std::nullopt;
    OpenedFile opened{std::move(file), {}};
    if (::fstat(opened.file.get(), &opened.status) != 0 || !S_ISREG(opened.status.st_mode))
        return std::nullopt;
    return opened;
}

}  // namespace

class DownloadFolder::Lister
{
public:
    explicit Lister(const std::filesystem::path &folder)
        : watcher_(folder), listing_(std::make_shared<const DownloadListing>())
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Lister()
    {
        // Whatever the thread is reading checks stopping_ between chunks.
        stopping_ = true;
        watcher_.stop();
        thread_.join();
    }

    std::shared_ptr<const DownloadListing> listing() const
    {
        const std::lock_guard lock(mutex_);
        return listing_;
    }
    std::optional<OpenedFile> open(std::string_view name) const
    {
        const std::shared_ptr<const UniqueFd> folder = watcher_.directory();
        return openIn(folder->get(), name);
    }
    void rescan() { watcher_.wake(); }

private:
    void run()
    {
        bool retrySoon = false;
        do {
            retrySoon = !scan() || !readDetails();
        } while (watcher_.wait(retrySoon));
    }
    bool scan();
    bool readDetails();
    void publish(DownloadListing listing)
    {
        auto shared = std::make_shared<const DownloadListing>(std::move(listing));
        const std::lock_guard lock(mutex_);
        listing_ = std::move(shared);
    }

    FolderWatcher watcher_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::shared_ptr<const DownloadListing> listing_;
    std::thread thread_;
};

// False when the folder could not be read now: the last listing stays, to be made again soon.
bool DownloadFolder::Lister::scan()
{
    const std::shared_ptr<const DownloadListing> previous = listing();
    const std::shared_ptr<const UniqueFd> folder = watcher_.directory();
    // fdopendir takes over a descriptor of its own, so the folder's stays at hand for fstatat.
    const int listed = ::openat(folder->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        const int error = errno;
        if (listed >= 0)
            ::close(listed);
        // Out of descriptors says nothing of the folder; otherwise a folder that cannot be read
        // at the moment offers nothing until it can again.
        if (!isOutOfDescriptors(error)) {
            DownloadListing nothing;
            nothing.scanned = true;
            publish(std::move(nothing));
        }
        return false;
    }
    std::vector<DownloadEntry> packages;
    std::vector<DownloadEntry> others;
    while (const dirent *entry = ::readdir(entries)) {
        const std::string_view name = entry->d_name;
        struct stat status {};
        if (!isOfferableName(name) ||
            ::fstatat(folder->get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode))
            continue;
        (isPackageName(name) ? packages : others).push_back(entryFor(std::string(name), status));
    }
    ::closedir(entries);

    const auto byName = [](const DownloadEntry &a, const DownloadEntry &b) {
        return a.name < b.name;
    };
    DownloadListing listing;
    listing.scanned = true;
    listing.total = packages.size() + others.size();
    for (auto *part : {&packages, &others}) {
        const size_t room = DownloadFolder::kMaxShown - listing.shown.size();
        const auto end = part->begin() + static_cast<std::ptrdiff_t>(std::min(room, part->size()));
        std::partial_sort(part->begin(), end, part->end(), byName);
        std::move(part->begin(), end, std::back_inserter(listing.shown));
    }
    // What was read of a file before is kept while it is the same file.
    for (DownloadEntry &entry : listing.shown)
        if (const DownloadEntry *known = findByName(*previous, entry.name);
            known && sameFile(*known, entry))
            entry = *known;
    listing.latestVersion = latestVersionOf(listing.shown);
    publish(std::move(listing));
    return true;
}

// Reads the package fields, then the digest, of each shown file that lacks them, publishing
// after each file; false when a file could not be opened for want of descriptors.
bool DownloadFolder::Lister::readDetails()
{
    for (;;) {
        const std::shared_ptr<const DownloadListing> current = listing();
        const auto &shown = current->shown;
        auto pending = std::find_if(shown.begin(), shown.end(), [](const DownloadEntry &entry) {
            return entry.packagePending;
        });
        const bool forPackage = pending != shown.end();
        if (!forPackage)
            pending = std::find_if(shown.begin(), shown.end(), [](const DownloadEntry &entry) {
                return entry.sha256.empty() && !entry.digestFailed;
            });
        if (pending == shown.end() || stopping_)
            return true;
        std::optional<OpenedFile> opened;
        try {
            opened = open(pending->name);
        } catch (const std::system_error &) {
            return false;
        }
        // A file replaced or written to since the scan waits for the scan its change brings.
        if (opened && !sameFile(*pending, opened->status))
            return true;
        DownloadListing next = *current;
        DownloadEntry &entry = next.shown[static_cast<size_t>(pending - shown.begin())];
        if (forPackage) {
            entry.packagePending = false;
            if (!isDebianName(entry.name)) {
                const ProgramReading program = !opened ? ProgramReading{}
                    : isZipName(entry.name) ? readZippedProgram(opened->file.get(), stopping_)
                                            : readWindowsProgram(opened->file.get(), stopping_);
                if (program.outcome == ProgramReading::Outcome::Cancelled)
                    return true;
                if (program.outcome == ProgramReading::Outcome::Read)
                    entry.programVersion = program.version;
                publish(std::move(next));
                continue;
            }
            const PackageReading reading =
                opened ? readDebianPackage(opened->file.get(), stopping_) : PackageReading{};
            if (reading.outcome == PackageReading::Outcome::Cancelled)
                return true;
            if (reading.outcome == PackageReading::Outcome::Read)
                entry.package = reading.info;
            entry.packageRefused = reading.outcome == PackageReading::Outcome::TooCostly;
            if (entry.packageRefused)
                logLine(
                    LogLevel::Warning,
                    "downloads: " + entry.name +
                        ": gave up reading its package fields, which take more to unpack than any "
                        "package needs");
            next.latestVersion = latestVersionOf(next.shown);
        } else {
            std::optional<std::string> digest;
            if (opened) {
                digest = sha256Hex(opened->file.get(), stopping_);
                struct stat after {};
                if (digest &&
                    (::fstat(opened->file.get(), &after) != 0 || !sameFile(*pending, after)))
                    return true;
            }
            if (stopping_)
                return true;
            if (digest)
                entry.sha256 = std::move(*digest);
            else
                entry.digestFailed = true;
        }
        publish(std::move(next));
    }
}

DownloadFolder::DownloadFolder() = default;
DownloadFolder::DownloadFolder(const std::filesystem::path &folder)
    : lister_(std::make_unique<Lister>(folder))
{}
DownloadFolder::DownloadFolder(DownloadFolder &&) noexcept = default;
DownloadFolder &DownloadFolder::operator=(DownloadFolder &&) noexcept = default;
DownloadFolder::~DownloadFolder() = default;

std::shared_ptr<const DownloadListing> DownloadFolder::listing() const
{
    static const auto kNothing = [] {
        DownloadListing nothing;
        nothing.scanned = true;
        return std::make_shared<const DownloadListing>(std::move(nothing));
    }();
    return lister_ ? lister_->listing() : kNothing;
}

std::optional<OpenedFile> DownloadFolder::open(std::string_view name) const
{
    return lister_ ? lister_->open(name) : std::nullopt;
}

void DownloadFolder::rescan() const
{
    if (lister_)
        lister_->rescan();
}

}  // namespace zuno::service
