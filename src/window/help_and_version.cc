// SPDX-License-Identifier: Apache-2.0
#include "help_and_version.h"

#include <zuno/lookup_help.h>
#include <zuno/version.h>

#include <cstdio>
#include <string_view>

namespace zuno {

std::optional<int> answerHelpOrVersion(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        int written = 0;
        if (argument == "--help" || argument == "-h")
            written = std::fputs(kLookupHelp, stdout);
        else if (argument == "--version")
            written = std::printf("zuno-lookup %s\n", kVersion);
        else
            continue;
        // A closed or full standard output is a failure to answer, not a success.
        return written >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
    }
    return std::nullopt;
}

}  // namespace zuno
