// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "fetched_value.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace zuno {

struct FetchOptions {
    // Whole exchange, connecting and every redirect included.
    std::chrono::milliseconds timeLimit{30'000};
    int maxRedirects = 10;
    std::size_t maxBodyBytes = 8 * 1024 * 1024;
};

// Fetches URL with one HTTP GET through WinHTTP carrying "If-Modified-Since: 0" and returns the
// body converted from the charset Coding. Blocks until the exchange has ended. Never fails: when
// no response arrives the result has length 0; when the body arrives but cannot be converted,
// the result is the body's bytes. The status code is not looked at. Redirects are followed only
// to http URLs.
FetchedValue GetBody(const std::string &URL, std::u16string_view Coding = u"GB2312",
                     const FetchOptions &options = {}) noexcept;

}  // namespace zuno
