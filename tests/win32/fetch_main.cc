// SPDX-License-Identifier: Apache-2.0
#include "get_body.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

// Prints what GetBody returns for URL read as CODING, within TIME-LIMIT milliseconds: its kind
// ("empty", "text" or "bytes"), its length, and its first 64 UTF-16 code units or bytes in hex
// ("-" for none).
// Usage: zuno-fetch URL CODING TIME-LIMIT
int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    zuno::FetchOptions options;
    options.timeLimit = std::chrono::milliseconds(std::atoi(argv[3]));
    const std::string coding = argv[2];
    const zuno::FetchedValue value =
        zuno::GetBody(argv[1], std::u16string(coding.begin(), coding.end()), options);
    constexpr std::size_t kShown = 64;
    std::string hex;
    char unit[8];
    const std::u16string text = value.toText();
    const std::string bytes = value.bytes();
    if (value.isText()) {
        for (const char16_t c : text.substr(0, kShown)) {
            std::snprintf(unit, sizeof unit, "%s%04X", hex.empty() ? "" : " ", unsigned(c));
            hex += unit;
        }
    } else {
        for (const char c : bytes.substr(0, kShown)) {
            std::snprintf(unit, sizeof unit, "%s%02X", hex.empty() ? "" : " ",
                          unsigned(static_cast<unsigned char>(c)));
            hex += unit;
        }
    }
    std::printf("%s %lu %s\n",
                value.isText()        ? "text"
                    : value.isBytes() ? "bytes"
                                      : "empty",
                static_cast<unsigned long>(value.isBytes() ? bytes.size() : text.size()),
                hex.empty() ? "-" : hex.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
