// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_rules.h"
#include "site/site.h"

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
    enum class Action { Serve, ShowHelp, ShowVersion, Labels, Lookup };
    Action action = Action::Serve;
    std::string host;
    unsigned short port = 0;
    unsigned threads = 1;
    std::optional<std::filesystem::path> downloads;
    std::vector<std::filesystem::path> segments;
    bool accessLog = false;
    std::chrono::seconds drainTimeout{30};
    // The label database; without it, the state directory's when there is one.
    std::optional<std::filesystem::path> database;
    unsigned labelMinReporters = LabelRules{}.minReporters;
    unsigned labelWindowDays = LabelRules{}.windowDays;
    std::vector<std::string> trustedProxies;  // CIDR blocks, checked
    std::vector<std::string> metricsFrom;     // CIDR blocks, checked
    std::vector<std::string> corsOrigins;     // scheme://host[:port], checked
    std::vector<std::string> siteHosts;       // host names in lower case, checked
    // For Action::Labels: the command and its operands ("show", "13800138000").
    std::vector<std::string> labelsCommand;
    std::optional<std::string> before;    // labels clear --before DATE
    std::optional<std::string> copyFrom;  // labels copy --from SQLITE-PATH
    std::optional<std::string> copyTo;    // labels copy --to URI
    size_t batchMaxRows = Site::kDefaultBatchMaxRows;
    // For lookup: the file to read, "-" for standard input, and the rows' form.
    std::string lookupFile = "-";
    bool lookupJsonLines = false;
};

// Options: --listen HOST:PORT (IPv6 as [ADDR]:PORT), --threads N, --downloads DIR,
// --segments FILE (repeated), --access-log, --drain-timeout SECONDS, --database PATH,
// --label-min-reporters N, --label-window-days N, --trusted-proxy CIDR (repeated),
// --metrics-from CIDR (repeated), --cors-origin ORIGIN (repeated),
// --site-host NAME (repeated), --batch-max-rows N, --help,
// --version; or first the word "labels", a command and its operands (with --database and --before
// DATE, or --from and --to); or "lookup [FILE|-]" (with --format csv|jsonl, --segments,
// --database and the label rules). "--name=value" works as well as
// "--name value". defaultListen is used when --listen is not given; a host without a port means
// port 80. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string> &arguments,
                             const std::string &defaultListen, unsigned defaultThreads);

// The --help text, made from the same source as the manual page zuno-lookupd(8).
std::string usageText();

}  // namespace zuno::service
