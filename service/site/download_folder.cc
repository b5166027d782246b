#include "download_folder.h"

#include "file_digest.h"
#include "gbk_codec.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

namespace zuno::service {
namespace {

constexpr size_t kMaxNameBytes = 255;
// After a change, wait until the folder has been quiet this long, but scan at least this often
// while it keeps changing.
constexpr int kSettleMilliseconds = 300;
constexpr auto kLongestSettle = std::chrono::seconds(2);
// Without inotify, how often the folder's modification time is compared.
constexpr int kRecheckMilliseconds = 5000;

bool isOfferableName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameBytes || name.front() == '.')
        return false;
    if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
        return false;
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        return false;
    return decodeUtf8(name).has_value();
}

bool isPackageName(std::string_view name) { return name.ends_with(".deb"); }

DownloadEntry entryFor(std::string name, const struct stat &status)
{
    DownloadEntry entry;
    entry.name = std::move(name);
    entry.size = static_cast<std::uint64_t>(status.st_size);
    entry.modified = status.st_mtim.tv_sec;
    entry.device = status.st_dev;
    entry.inode = status.st_ino;
    entry.changed = status.st_ctim;
    return entry;
}

bool sameFile(const DownloadEntry &entry, const struct stat &status)
{
    return entry.device == status.st_dev && entry.inode == status.st_ino &&
        entry.size == static_cast<std::uint64_t>(status.st_size) &&
        entry.changed.tv_sec == status.st_ctim.tv_sec &&
        entry.changed.tv_nsec == status.st_ctim.tv_nsec;
}

const DownloadEntry *findByName(const DownloadListing *listing, std::string_view name)
{
    if (!listing)
        return nullptr;
    for (const DownloadEntry &entry : listing->shown)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

std::optional<OpenedFile> openIn(int directory, std::string_view name)
{
    if (!isOfferableName(name))
        return std::nullopt;
    const std::string terminated(name);
    // O_NOFOLLOW: a symbolic link fails to open; O_NONBLOCK: a FIFO opens at once, to be refused.
    UniqueFd file(::openat(directory, terminated.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    OpenedFile opened{std::move(file), {}};
    if (::fstat(opened.file.get(), &opened.status) != 0 || !S_ISREG(opened.status.st_mode))
        return std::nullopt;
    return opened;
}

}  // namespace

class DownloadFolder::Watcher
{
public:
    explicit Watcher(const std::filesystem::path &folder);
    ~Watcher();

    std::shared_ptr<const DownloadListing> listing() const
    {
        const std::lock_guard lock(mutex_);
        return listing_;
    }
    int directory() const { return directory_.get(); }

private:
    void run();
    bool waitForChange();
    bool settle();
    void scan();
    void computeDigests();
    void publish(DownloadListing listing)
    {
        auto shared = std::make_shared<const DownloadListing>(std::move(listing));
        const std::lock_guard lock(mutex_);
        listing_ = std::move(shared);
    }

    UniqueFd directory_;
    UniqueFd inotify_;
    UniqueFd wake_;
    timespec lastModified_{};
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::shared_ptr<const DownloadListing> listing_;
    std::thread thread_;
};

DownloadFolder::Watcher::Watcher(const std::filesystem::path &folder)
    : directory_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (!directory_ || !wake_)
        throw std::filesystem::filesystem_error("cannot open", folder,
                                                std::error_code(errno, std::system_category()));
    // Without a watch (no inotify, or the watch limit reached) the folder is polled instead.
    constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
        IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_ && ::inotify_add_watch(inotify_.get(), folder.c_str(), kChanges) < 0)
        inotify_ = UniqueFd();
    scan();
    if (!listing_)
        throw std::filesystem::filesystem_error("cannot list", folder,
                                                std::error_code(errno, std::system_category()));
    thread_ = std::thread([this] { run(); });
}

DownloadFolder::Watcher::~Watcher()
{
    stopping_ = true;
    const std::uint64_t one = 1;
    // The eventfd cannot be full with one write; the thread also checks stopping_ between steps.
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

void DownloadFolder::Watcher::run()
{
    computeDigests();
    while (waitForChange()) {
        scan();
        computeDigests();
    }
}

// True when the folder changed, false when it is time to stop.
bool DownloadFolder::Watcher::waitForChange()
{
    for (;;) {
        pollfd watched[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        const int ready = ::poll(watched, inotify_ ? 2 : 1, inotify_ ? -1 : kRecheckMilliseconds);
        if (stopping_)
            return false;
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && (watched[1].revents & POLLIN))
            return settle();
        struct stat status {};
        if (ready == 0 && ::fstat(directory_.get(), &status) == 0 &&
            (status.st_mtim.tv_sec != lastModified_.tv_sec ||
             status.st_mtim.tv_nsec != lastModified_.tv_nsec))
            return true;
    }
}

// Reads events until none came for a moment (or for long enough), so that one scan follows a
// burst of changes.
bool DownloadFolder::Watcher::settle()
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

void DownloadFolder::Watcher::scan()
{
    const std::shared_ptr<const DownloadListing> previous = listing();
    struct stat folder {};
    if (::fstat(directory_.get(), &folder) == 0)
        lastModified_ = folder.st_mtim;

    // fdopendir takes over a descriptor of its own, so the folder's stays at hand for openat.
    const int listed = ::openat(directory_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!entries) {
        if (listed >= 0)
            ::close(listed);
        // A folder that cannot be read at the moment offers nothing until it can again.
        if (previous)
            publish({});
        return;
    }
    std::vector<DownloadEntry> packages;
    std::vector<DownloadEntry> others;
    while (const dirent *entry = ::readdir(entries)) {
        const std::string_view name = entry->d_name;
        struct stat status {};
        if (!isOfferableName(name) ||
            ::fstatat(directory_.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode))
            continue;
        (isPackageName(name) ? packages : others).push_back(entryFor(std::string(name), status));
    }
    ::closedir(entries);

    const auto byName = [](const DownloadEntry &a, const DownloadEntry &b) {
        return a.name < b.name;
    };
    DownloadListing listing;
    listing.total = packages.size() + others.size();
    for (auto *part : {&packages, &others}) {
        const size_t room = DownloadFolder::kMaxShown - listing.shown.size();
        const auto end = part->begin() + static_cast<std::ptrdiff_t>(std::min(room, part->size()));
        std::partial_sort(part->begin(), end, part->end(), byName);
        std::move(part->begin(), end, std::back_inserter(listing.shown));
    }

    for (DownloadEntry &entry : listing.shown) {
        const DownloadEntry *known = findByName(previous.get(), entry.name);
        if (known && known->device == entry.device && known->inode == entry.inode &&
            known->size == entry.size && known->changed.tv_sec == entry.changed.tv_sec &&
            known->changed.tv_nsec == entry.changed.tv_nsec) {
            entry = *known;
        } else if (isPackageName(entry.name)) {
            if (auto opened = openIn(directory_.get(), entry.name))
                entry.package = readDebianPackage(opened->file.get());
        }
        if (entry.package &&
            (listing.latestVersion.empty() ||
             compareDebianVersions(entry.package->version, listing.latestVersion) > 0))
            listing.latestVersion = entry.package->version;
    }
    publish(std::move(listing));
}

void DownloadFolder::Watcher::computeDigests()
{
    for (;;) {
        const std::shared_ptr<const DownloadListing> current = listing();
        const auto pending = std::find_if(
            current->shown.begin(), current->shown.end(),
            [](const DownloadEntry &entry) { return entry.sha256.empty() && !entry.digestFailed; });
        if (pending == current->shown.end() || stopping_)
            return;
        std::optional<std::string> digest;
        if (const auto opened = openIn(directory_.get(), pending->name)) {
            // A file replaced or written to since the scan waits for the scan its change brings.
            if (!sameFile(*pending, opened->status))
                return;
            digest = sha256Hex(opened->file.get(), stopping_);
            struct stat after {};
            if (digest && (::fstat(opened->file.get(), &after) != 0 || !sameFile(*pending, after)))
                return;
        }
        if (stopping_)
            return;
        DownloadListing next = *current;
        DownloadEntry &entry = next.shown[static_cast<size_t>(pending - current->shown.begin())];
        if (digest)
            entry.sha256 = std::move(*digest);
        else
            entry.digestFailed = true;
        publish(std::move(next));
    }
}

DownloadFolder::DownloadFolder() = default;
DownloadFolder::DownloadFolder(const std::filesystem::path &folder)
    : watcher_(std::make_unique<Watcher>(folder))
{}
DownloadFolder::DownloadFolder(DownloadFolder &&) noexcept = default;
DownloadFolder &DownloadFolder::operator=(DownloadFolder &&) noexcept = default;
DownloadFolder::~DownloadFolder() = default;

std::shared_ptr<const DownloadListing> DownloadFolder::listing() const
{
    static const auto kNothing = std::make_shared<const DownloadListing>();
    return watcher_ ? watcher_->listing() : kNothing;
}

std::optional<OpenedFile> DownloadFolder::open(std::string_view name) const
{
    return watcher_ ? openIn(watcher_->directory(), name) : std::nullopt;
}

}  // namespace zuno::service
