// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
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

// What reading a package's fields came to.
struct PackageReading {
    enum class Outcome {
        Read,         // info holds the fields
        NotAPackage,  // not a readable package, or without Package or Version
        TooCostly,    // given up: unpacking its control member took more bytes, time or memory
                      // than any real control member needs
        Cancelled,    // cancel was set
    };
    Outcome outcome = Outcome::NotAPackage;
    PackageInfo info;
};

// Reads the control file out of a .deb (an ar archive holding control.tar, .gz, .xz or .zst)
// from the open file fd at its start, reading the members before data.tar only. The control
// member is unpacked with the one filter its name says, never a chain of them, and within a
// budget of bytes, time and decoder memory; setting cancel ends the reading at once.
PackageReading readDebianPackage(int fd, const std::atomic<bool> &cancel);

// Whether dpkg would parse a Version field: an epoch (if any) of digits that fits an int, a
// non-empty upstream version and, after a last '-', a non-empty revision.
bool isValidDebianVersion(std::string_view version);

// dpkg's ordering of versions (epoch, upstream version, revision; '~' sorts before anything):
// negative, zero or positive as a is older than, the same as or newer than b.
int compareDebianVersions(std::string_view a, std::string_view b);

}  // namespace zuno::service
