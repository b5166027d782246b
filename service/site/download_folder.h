#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::service {

struct DownloadFile {
    std::string name;  // UTF-8
    std::uintmax_t size = 0;
};

// The folder whose files the home page offers under /download/NAME. Only regular files directly
// inside it, not hidden, not symbolic links, with UTF-8 names, are listed or served, so nothing
// outside the folder can be reached through a name.
class DownloadFolder
{
public:
    // No folder: nothing is listed or served.
    DownloadFolder() = default;
    // Throws std::filesystem::filesystem_error when folder is not a readable directory.
    explicit DownloadFolder(const std::filesystem::path &folder);

    bool isSet() const { return !root_.empty(); }

    // Sorted by name. A folder that cannot be read at the moment lists nothing.
    std::vector<DownloadFile> list() const;

    // The file a request names (already percent-decoded), when it is one that list() offers.
    std::optional<std::filesystem::path> find(std::string_view name) const;

private:
    std::filesystem::path root_;
};

}  // namespace zuno::service
