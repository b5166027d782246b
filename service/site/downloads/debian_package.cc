// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/debian_package.h"

#include "site/downloads/bounded_unpacker.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <archive.h>
#include <archive_entry.h>

#include <cctype>
#include <climits>
#include <memory>

namespace zuno::service {
namespace {

// Far more than any control member or control file needs; a larger one is not read.
constexpr la_int64_t kMaxControlArchive = 4 * 1024 * 1024;
constexpr la_int64_t kMaxControlFile = 256 * 1024;
constexpr int kMaxMembers = 8;
// A field is shown on the home page; longer values are cut.
constexpr size_t kMaxFieldBytes = 200;

struct ArchiveFree {
    void operator()(archive *reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveFree>;

// The data of the current entry, when it is no larger than limit and reads whole.
std::optional<std::string> readEntry(archive *reader, archive_entry *entry, la_int64_t limit)
{
    if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) > limit)
        return std::nullopt;
    std::string data(static_cast<size_t>(archive_entry_size(entry)), '\0');
    const la_ssize_t got = archive_read_data(reader, data.data(), data.size());
    if (got < 0 || static_cast<size_t>(got) != data.size())
        return std::nullopt;
    return data;
}

// The entry, among the archive's first kMaxMembers, whose name `wanted` accepts; nothing once a
// name `last` accepts has gone by without it.
template<typename Wanted, typename Last>
archive_entry *findEntry(archive *reader, Wanted wanted, Last last)
{
    archive_entry *entry = nullptr;
    for (int i = 0; i < kMaxMembers && archive_read_next_header(reader, &entry) == ARCHIVE_OK;
         ++i) {
        const std::string_view name =
            archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        if (wanted(name))
            return entry;
        if (last(name))
            break;
    }
    return nullptr;
}

// The compression a control member's name says; nothing for a name dpkg does not write.
std::optional<Compression> compressionOf(std::string_view member)
{
    if (member == "control.tar")
        return Compression::None;
    if (member == "control.tar.gz")
        return Compression::Gzip;
    if (member == "control.tar.xz")
        return Compression::Xz;
    if (member == "control.tar.zst")
        return Compression::Zstd;
    return std::nullopt;
}

la_ssize_t readUnpacked(archive *, void *unpacker, const void **chunk)
{
    const std::string_view bytes = static_cast<BoundedUnpacker *>(unpacker)->next();
    *chunk = bytes.data();
    return static_cast<BoundedUnpacker *>(unpacker)->stopped() == BoundedUnpacker::Stop::None
        ? static_cast<la_ssize_t>(bytes.size())
        : ARCHIVE_FATAL;
}

// The control file out of a control member, read as tar from its unpacked bytes.
std::optional<std::string> controlFile(BoundedUnpacker &unpacker)
{
    ArchiveReader reader(archive_read_new());
    if (!reader || archive_read_support_format_tar(reader.get()) != ARCHIVE_OK ||
        archive_read_open(reader.get(), &unpacker, nullptr, readUnpacked, nullptr) != ARCHIVE_OK)
        return std::nullopt;
    archive_entry *entry = findEntry(
        reader.get(),
        [](std::string_view name) { return name == "./control" || name == "control"; },
        [](std::string_view) { return false; });
    return entry ? readEntry(reader.get(), entry, kMaxControlFile) : std::nullopt;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// A field's value as the page may show it: UTF-8 (else nothing), at most kMaxFieldBytes.
std::string fieldValue(std::string_view value)
{
    value = trimmed(value);
    if (value.size() > kMaxFieldBytes) {
        size_t cut = kMaxFieldBytes;
        while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
            --cut;
        value = value.substr(0, cut);
    }
    return decodeUtf8(value) ? std::string(value) : std::string();
}

// The first line of each field of the first deb822 paragraph, as dpkg reads a control file;
// continuation lines are skipped, and a blank line after a field ends the paragraph.
PackageInfo parseControl(std::string_view text)
{
    PackageInfo info;
    bool inParagraph = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (trimmed(line).empty()) {
            if (inParagraph)
                break;
            continue;
        }
        inParagraph = true;
        const size_t colon = line.find(':');
        if (line.front() == ' ' || line.front() == '\t' || colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        const std::string value = fieldValue(line.substr(colon + 1));
        if (name == "Package")
            info.name = value;
        else if (name == "Version")
            info.version = value;
        else if (name == "Architecture")
            info.architecture = value;
        else if (name == "Description")
            info.summary = value;
    }
    return info;
}

// dpkg's character order within a non-digit run: '~' first, then the end, letters, the rest.
int order(char c)
{
    if (std::isdigit(static_cast<unsigned char>(c)))
        return 0;
    if (std::isalpha(static_cast<unsigned char>(c)))
        return c;
    if (c == '~')
        return -1;
    return c ? c + 256 : 0;
}

int compareFragment(std::string_view a, std::string_view b)
{
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        int firstDifference = 0;
        while ((i < a.size() && !std::isdigit(static_cast<unsigned char>(a[i]))) ||
               (j < b.size() && !std::isdigit(static_cast<unsigned char>(b[j])))) {
            const int ac = order(i < a.size() ? a[i] : '\0');
            const int bc = order(j < b.size() ? b[j] : '\0');
            if (ac != bc)
                return ac - bc;
            ++i, ++j;
        }
        while (i < a.size() && a[i] == '0')
            ++i;
        while (j < b.size() && b[j] == '0')
            ++j;
        while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])) && j < b.size() &&
               std::isdigit(static_cast<unsigned char>(b[j]))) {
            if (!firstDifference)
                firstDifference = a[i] - b[j];
            ++i, ++j;
        }
        if (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])))
            return 1;
        if (j < b.size() && std::isdigit(static_cast<unsigned char>(b[j])))
            return -1;
        if (firstDifference)
            return firstDifference;
    }
    return 0;
}

struct VersionParts {
    long epoch = 0;  // -1: not digits, or more than an int holds
    std::string_view upstream;
    std::string_view revision;
    bool hasRevision = false;
};

VersionParts split(std::string_view version)
{
    VersionParts parts;
    if (const size_t colon = version.find(':'); colon != std::string_view::npos) {
        const std::string_view epoch = version.substr(0, colon);
        if (epoch.empty() || epoch.size() > 10 ||
            epoch.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stol(std::string(epoch)) > INT_MAX)
            parts.epoch = -1;
        else
            parts.epoch = std::stol(std::string(epoch));
        version.remove_prefix(colon + 1);
    }
    const size_t dash = version.rfind('-');
    parts.upstream = version.substr(0, dash);
    if (dash != std::string_view::npos) {
        parts.revision = version.substr(dash + 1);
        parts.hasRevision = true;
    }
    return parts;
}

}  // namespace

PackageReading readDebianPackage(int fd, const std::atomic<bool> &cancel)
{
    PackageReading reading;
    ArchiveReader reader(archive_read_new());
    // archive_read_open_fd reads from fd and leaves it open: the caller owns it.
    if (!reader || archive_read_support_format_ar(reader.get()) != ARCHIVE_OK ||
        archive_read_open_fd(reader.get(), fd, 64 * 1024) != ARCHIVE_OK)
        return reading;
    // The control archive comes before the data in a .deb; past the data there is none.
    archive_entry *entry = findEntry(
        reader.get(),
        [](std::string_view name) {
            return name == "control.tar" || name.starts_with("control.tar.");
        },
        [](std::string_view name) { return name.starts_with("data.tar"); });
    const auto compression =
        entry ? compressionOf(archive_entry_pathname(entry)) : std::optional<Compression>();
    const auto controlArchive =
        compression ? readEntry(reader.get(), entry, kMaxControlArchive) : std::nullopt;
    if (!controlArchive)
        return reading;
    BoundedUnpacker unpacker(*controlArchive, *compression, cancel);
    const auto control = controlFile(unpacker);
    if (unpacker.stopped() == BoundedUnpacker::Stop::TooCostly)
        reading.outcome = PackageReading::Outcome::TooCostly;
    if (unpacker.stopped() == BoundedUnpacker::Stop::Cancelled)
        reading.outcome = PackageReading::Outcome::Cancelled;
    if (!control || reading.outcome != PackageReading::Outcome::NotAPackage)
        return reading;
    reading.info = parseControl(*control);
    if (!reading.info.name.empty() && !reading.info.version.empty())
        reading.outcome = PackageReading::Outcome::Read;
    return reading;
}

bool isValidDebianVersion(std::string_view version)
{
    const VersionParts parts = split(version);
    return parts.epoch >= 0 && !parts.upstream.empty() &&
        (!parts.hasRevision || !parts.revision.empty());
}

int compareDebianVersions(std::string_view a, std::string_view b)
{
    const VersionParts left = split(a);
    const VersionParts right = split(b);
    if (left.epoch != right.epoch)
        return left.epoch < right.epoch ? -1 : 1;
    if (const int upstream = compareFragment(left.upstream, right.upstream))
        return upstream;
    return compareFragment(left.revision, right.revision);
}

}  // namespace zuno::service
