// SPDX-License-Identifier: Apache-2.0
#include "get_body.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

// Prints what GetBody returns for URL read as CODING, within TIME-LIMIT milliseconds: its kind
// ("empty", "text" or "bytes") and its UTF-16 code units or bytes in hex, "-" for none.
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
    std::string hex;
    char unit[8];
    if (value.isText()) {
        for (const char16_t c : value.toText()) {
            std::snprintf(unit, sizeof unit, "%s%04X", hex.empty() ? "" : " ", unsigned(c));
            hex += unit;
        }
    } else {
        for (const char c : value.bytes()) {
            std::snprintf(unit, sizeof unit, "%s%02X", hex.empty() ? "" : " ",
                          unsigned(static_cast<unsigned char>(c)));
            hex += unit;
        }
    }
    std::printf("%s %s\n", value.isText() ? "text" : value.isBytes() ? "bytes" : "empty",
                hex.empty() ? "-" : hex.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
