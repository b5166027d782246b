#pragma once

#include <ctime>
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

// The static file at a URL path, or null.
const StaticFile *findStaticFile(std::string_view path);

}  // namespace zuno::service
