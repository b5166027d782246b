#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// The fields of a Debian binary package's control file that the download list shows.
struct PackageInfo {
    std::string name;
    std::string version;
    std::string architecture;
    std::string summary;  // the first line of Description
};

// Reads the control file out of a .deb (an ar archive holding control.tar, .gz, .xz or .zst)
// through libarchive, from the open file fd at its start; nothing when it is not a readable
// package or lacks Package or Version. Reads the members before data.tar only.
std::optional<PackageInfo> readDebianPackage(int fd);

// dpkg's ordering of versions (epoch, upstream version, revision; '~' sorts before anything):
// negative, zero or positive as a is older than, the same as or newer than b.
int compareDebianVersions(std::string_view a, std::string_view b);

}  // namespace zuno::service
