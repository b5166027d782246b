#include "download_folder.h"

#include "gbk_codec.h"

#include <algorithm>
#include <system_error>

namespace zuno::service {
namespace {

constexpr size_t kMaxNameBytes = 255;

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

bool isPlainFile(const std::filesystem::path &path, std::uintmax_t &size)
{
    std::error_code error;
    // symlink_status: a link is never followed, wherever it points.
    const auto status = std::filesystem::symlink_status(path, error);
    if (error || !std::filesystem::is_regular_file(status))
        return false;
    size = std::filesystem::file_size(path, error);
    return !error;
}

}  // namespace

DownloadFolder::DownloadFolder(const std::filesystem::path &folder)
    : root_(std::filesystem::canonical(folder))
{
    if (!std::filesystem::is_directory(root_))
        throw std::filesystem::filesystem_error("not a directory", folder,
                                                std::make_error_code(std::errc::not_a_directory));
    // Opening it once here turns an unreadable folder into a start-up error.
    std::filesystem::directory_iterator probe(root_);
}

std::vector<DownloadFile> DownloadFolder::list() const
{
    std::vector<DownloadFile> files;
    if (!isSet())
        return files;
    std::error_code error;
    std::filesystem::directory_iterator entries(root_, error);
    // A folder that went away or lost its permissions after start-up simply offers nothing.
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        DownloadFile file{name, 0};
        if (isOfferableName(name) && isPlainFile(entries->path(), file.size))
            files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(),
              [](const DownloadFile &a, const DownloadFile &b) { return a.name < b.name; });
    return files;
}

std::optional<std::filesystem::path> DownloadFolder::find(std::string_view name) const
{
    if (!isSet() || !isOfferableName(name))
        return std::nullopt;
    std::filesystem::path path = root_ / std::filesystem::path(std::string(name));
    std::uintmax_t size = 0;
    if (!isPlainFile(path, size))
        return std::nullopt;
    return path;
}

}  // namespace zuno::service
