// SPDX-License-Identifier: Apache-2.0
#include "site/downloads/windows_program.h"

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zuno::service {
namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kVersionResource = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectory = 0x80000000;
constexpr std::uint16_t kMaxSections = 96;  // the loader's own limit
constexpr int kMaxZipMembers = 16;

// Reads byte ranges of a file of known size, refusing any range past its end and any reading
// past the byte budget.
class Source
{
public:
    using Read = std::function<bool(std::uint64_t offset, size_t size, unsigned char *out)>;
    Source(std::uint64_t size, Read read) : size_(size), read_(std::move(read)) {}

    template<size_t N> bool get(std::uint64_t offset, std::array<unsigned char, N> &out)
    {
        if (offset > size_ || N > size_ - offset || N > kMaxProgramBytesRead - spent_)
            return false;
        spent_ += N;
        return read_(offset, N, out.data());
    }
    std::uint64_t size() const { return size_; }

private:
    const std::uint64_t size_;
    const Read read_;
    std::uint64_t spent_ = 0;
};

template<size_t N> std::uint16_t u16(const std::array<unsigned char, N> &bytes, size_t at)
{
    return static_cast<std::uint16_t>(bytes.at(at) | bytes.at(at + 1) << 8);
}
template<size_t N> std::uint32_t u32(const std::array<unsigned char, N> &bytes, size_t at)
{
    return static_cast<std::uint32_t>(u16(bytes, at)) |
        static_cast<std::uint32_t>(u16(bytes, at + 2)) << 16;
}

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
};

class PeReader
{
public:
    explicit PeReader(Source &source) : source_(source) {}

    std::optional<std::string> productVersion()
    {
        const auto resources = resourceDirectory();
        if (!resources)
            return std::nullopt;
        resourceBase_ = *resources;
        // Type RT_VERSION, then its first name, then its first language: a data entry.
        auto names = entry(
            0, [](std::uint32_t id) { return id == kVersionResource; }, true);
        auto languages = names ? entry(*names, nullptr, true) : std::nullopt;
        auto data = languages ? entry(*languages, nullptr, false) : std::nullopt;
        if (!data)
            return std::nullopt;
        std::array<unsigned char, 8> dataEntry{};
        if (!at(resourceBase_ + *data, dataEntry))
            return std::nullopt;
        return fixedInfoVersion(u32(dataEntry, 0), u32(dataEntry, 4));
    }

private:
    template<size_t N> bool at(std::uint64_t rva, std::array<unsigned char, N> &out)
    {
        const auto offset = fileOffset(rva, N);
        return offset && source_.get(*offset, out);
    }

    // Where size bytes at rva lie in the file: wholly inside one section's raw data, or nowhere.
    std::optional<std::uint64_t> fileOffset(std::uint64_t rva, std::uint64_t size) const
    {
        for (const Section &section : sections_)
            if (rva >= section.virtualAddress && rva - section.virtualAddress <= section.rawSize &&
                size <= section.rawSize - (rva - section.virtualAddress))
                return std::uint64_t{section.rawOffset} + (rva - section.virtualAddress);
        return std::nullopt;
    }

    // The resource directory's address, having read the section table.
    std::optional<std::uint64_t> resourceDirectory()
    {
        std::array<unsigned char, 64> dos{};
        if (!source_.get(0, dos) || dos[0] != 'M' || dos[1] != 'Z')
            return std::nullopt;
        const std::uint64_t pe = u32(dos, 0x3C);
        std::array<unsigned char, 24> header{};
        if (!source_.get(pe, header) || std::memcmp(header.data(), "PE\0\0", 4) != 0)
            return std::nullopt;
        const std::uint16_t sectionCount = u16(header, 6);
        const std::uint16_t optionalSize = u16(header, 20);
        std::array<unsigned char, 2> magic{};
        if (sectionCount > kMaxSections || !source_.get(pe + 24, magic))
            return std::nullopt;
        // PE32 and PE32+ differ in where the data directories start.
        const std::uint64_t directories = u16(magic, 0) == 0x10B ? 96
            : u16(magic, 0) == 0x20B                             ? 112
                                                                 : 0;
        std::array<unsigned char, 4> directoryCount{};
        std::array<unsigned char, 8> resourceEntry{};
        if (directories == 0 || optionalSize < directories + 3 * 8 ||
            !source_.get(pe + 24 + directories - 4, directoryCount) || u32(directoryCount, 0) < 3 ||
            !source_.get(pe + 24 + directories + 2 * 8, resourceEntry))
            return std::nullopt;
        for (std::uint64_t i = 0; i < sectionCount; ++i) {
            std::array<unsigned char, 40> row{};
            if (!source_.get(pe + 24 + optionalSize + i * 40, row))
                return std::nullopt;
            const Section section{u32(row, 12), u32(row, 16), u32(row, 20)};
            if (std::uint64_t{section.rawOffset} + section.rawSize > source_.size())
                continue;  // raw data past the end: nothing in it can be read
            sections_.push_back(section);
        }
        const std::uint32_t rva = u32(resourceEntry, 0);
        return rva != 0 && u32(resourceEntry, 4) != 0 ? std::optional<std::uint64_t>(rva)
                                                      : std::nullopt;
    }

    // The offset (from the resource directory) of the first entry of the directory at offset
    // whose ID `wanted` accepts (any entry without it), when it is or is not a subdirectory as
    // asked.
    std::optional<std::uint32_t>
    entry(std::uint32_t offset, const std::function<bool(std::uint32_t)> &wanted, bool subdirectory)
    {
        std::array<unsigned char, 16> directory{};
        if (!at(resourceBase_ + offset, directory))
            return std::nullopt;
        const std::uint32_t count = std::uint32_t{u16(directory, 12)} + u16(directory, 14);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (++entriesVisited_ > kMaxResourceEntries)
                return std::nullopt;
            std::array<unsigned char, 8> row{};
            if (!at(resourceBase_ + offset + 16 + std::uint64_t{i} * 8, row))
                return std::nullopt;
            const std::uint32_t id = u32(row, 0);
            const std::uint32_t target = u32(row, 4);
            if (wanted && ((id & kSubdirectory) != 0 || !wanted(id)))
                continue;
            if (((target & kSubdirectory) != 0) != subdirectory)
                return std::nullopt;
            return target & ~kSubdirectory;
        }
        return std::nullopt;
    }

    // VS_VERSIONINFO: a 6-byte header, the key L"VS_VERSION_INFO" with its NUL, padding to 4,
    // then VS_FIXEDFILEINFO.
    std::optional<std::string> fixedInfoVersion(std::uint32_t rva, std::uint32_t size)
    {
        std::array<unsigned char, 92> record{};
        if (size < record.size() || !at(rva, record) || u16(record, 2) < 52)
            return std::nullopt;
        constexpr std::string_view kKey = "VS_VERSION_INFO";
        for (size_t i = 0; i <= kKey.size(); ++i)
            if (u16(record, 6 + 2 * i) != (i < kKey.size() ? kKey[i] : 0))
                return std::nullopt;
        if (u32(record, 40) != kFixedInfoSignature)
            return std::nullopt;
        const std::array<std::uint32_t, 4> parts{u32(record, 56) >> 16, u32(record, 56) & 0xFFFF,
                                                 u32(record, 60) >> 16, u32(record, 60) & 0xFFFF};
        size_t shown = 4;
        while (shown > 2 && parts.at(shown - 1) == 0)
            --shown;
        std::string version;
        for (size_t i = 0; i < shown; ++i)
            version += (i ? "." : "") + std::to_string(parts.at(i));
        return version;
    }

    Source &source_;
    std::vector<Section> sections_;
    std::uint64_t resourceBase_ = 0;
    int entriesVisited_ = 0;
};

ProgramReading readingOf(Source &source)
{
    ProgramReading reading;
    if (auto version = PeReader(source).productVersion()) {
        reading.outcome = ProgramReading::Outcome::Read;
        reading.version = std::move(*version);
    }
    return reading;
}

struct ArchiveFree {
    void operator()(archive *reader) const { archive_read_free(reader); }
};

bool endsWithExe(std::string_view name)
{
    if (name.size() < 4)
        return false;
    std::string tail(name.substr(name.size() - 4));
    for (char &c : tail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".exe";
}

}  // namespace

ProgramReading readWindowsProgram(int fd, const std::atomic<bool> &cancel)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size < 0)
        return {};
    Source source(static_cast<std::uint64_t>(status.st_size),
                  [&](std::uint64_t offset, size_t size, unsigned char *out) {
                      if (cancel)
                          return false;
                      size_t done = 0;
                      while (done < size) {
                          const ssize_t got = ::pread(fd, out + done, size - done,
                                                      static_cast<off_t>(offset + done));
                          if (got < 0 && errno == EINTR)
                              continue;
                          if (got <= 0)
                              return false;
                          done += static_cast<size_t>(got);
                      }
                      return true;
                  });
    ProgramReading reading = readingOf(source);
    if (cancel)
        reading = {ProgramReading::Outcome::Cancelled, {}};
    return reading;
}

ProgramReading readWindowsProgram(std::string_view bytes)
{
    Source source(bytes.size(), [&](std::uint64_t offset, size_t size, unsigned char *out) {
        std::memcpy(out, bytes.data() + offset, size);
        return true;
    });
    return readingOf(source);
}

ProgramReading readZippedProgram(int fd, const std::atomic<bool> &cancel)
{
    std::unique_ptr<archive, ArchiveFree> reader(archive_read_new());
    // archive_read_open_fd reads from fd and leaves it open: the caller owns it.
    if (!reader || archive_read_support_format_zip(reader.get()) != ARCHIVE_OK ||
        archive_read_open_fd(reader.get(), fd, 64 * 1024) != ARCHIVE_OK)
        return {};
    archive_entry *entry = nullptr;
    for (int i = 0; i < kMaxZipMembers; ++i) {
        if (cancel)
            return {ProgramReading::Outcome::Cancelled, {}};
        if (archive_read_next_header(reader.get(), &entry) != ARCHIVE_OK)
            return {};
        const char *name = archive_entry_pathname(entry);
        if (name && endsWithExe(name) && archive_entry_filetype(entry) == AE_IFREG)
            break;
        entry = nullptr;
    }
    if (!entry ||
        (archive_entry_size_is_set(entry) &&
         static_cast<std::uint64_t>(archive_entry_size(entry)) > kMaxZippedProgram))
        return {};
    // The size a zip's header gives may be missing or false: the unpacked bytes are counted.
    std::string program;
    std::array<char, 64 * 1024> chunk{};
    for (;;) {
        if (cancel)
            return {ProgramReading::Outcome::Cancelled, {}};
        const la_ssize_t got = archive_read_data(reader.get(), chunk.data(), chunk.size());
        if (got < 0 || program.size() + static_cast<size_t>(got) > kMaxZippedProgram)
            return {};
        if (got == 0)
            break;
        program.append(chunk.data(), static_cast<size_t>(got));
    }
    return readWindowsProgram(program);
}

}  // namespace zuno::service
