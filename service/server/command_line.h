#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zuno::service {

inline constexpr char kProgramName[] = "zuno-lookupd";

// A command line that cannot be obeyed; what() says why, for the user.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct CommandLine {
    enum class Action { Serve, ShowHelp, ShowVersion, Lookup };
    Action action = Action::Serve;
    std::string host;
    unsigned short port = 0;
    unsigned threads = 1;
    std::optional<std::filesystem::path> downloads;
    bool accessLog = false;
    std::chrono::seconds drainTimeout{30};
    size_t batchMaxRows = 1'000'000;
    // For lookup: the file to read, "-" for standard input.
    std::string lookupFile = "-";
};

// Options: --listen HOST:PORT (IPv6 as [ADDR]:PORT), --threads N, --downloads DIR,
// --access-log, --drain-timeout SECONDS, --batch-max-rows N, --help, --version; or
// "lookup [FILE|-]"; "--name=value" works as well as "--name
// value". defaultListen is used when --listen is not given; a host without a port means port 80.
// Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string> &arguments,
                             const std::string &defaultListen, unsigned defaultThreads);

// The --help text, made from the same source as the manual page zuno-lookupd(8).
std::string usageText();

}  // namespace zuno::service
