// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ctime>
#include <span>
#include <string_view>

namespace zuno::service {

// A file compiled into the program (style sheet, icon, screenshot), served as it is.
struct StaticFile {
    std::string_view path;  // "/favicon.ico"
    std::string_view contentType;
    std::string_view etag;  // quoted
    std::time_t modified = 0;
    std::string_view bytes;
};

// Every static file, in the order they were embedded.
std::span<const StaticFile> staticFiles();

}  // namespace zuno::service
