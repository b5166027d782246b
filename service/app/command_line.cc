// SPDX-License-Identifier: Apache-2.0
#include "app/command_line.h"

#include "http/address_blocks.h"
#include "http/trusted_proxies.h"
#include "http/web_origin.h"

#include <zuno/lookupd_help.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <utility>

namespace zuno::service {
namespace {

constexpr unsigned kMaxThreads = 256;
constexpr unsigned short kDefaultHttpPort = 80;
constexpr unsigned kMaxDrainSeconds = 3600;
constexpr unsigned kMaxLabelDays = 3650;
constexpr unsigned kMaxMinReporters = 1000;
constexpr size_t kMaxBatchRows = 100'000'000;
// What the lookup command takes: what decides its rows, as the service has it.
constexpr std::array<std::string_view, 6> kLookupOptions = {"--help",
                                                            "--format",
                                                            "--segments",
                                                            "--database",
                                                            "--label-min-reporters",
                                                            "--label-window-days"};

template<typename Number> bool parseNumber(std::string_view text, Number &value)
{
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

void parseListen(std::string_view text, CommandLine &line)
{
    const auto bad = [&](std::string_view why) {
        return UsageError("bad --listen \"" + std::string(text) + "\": " + std::string(why));
    };
    std::string_view host = text;
    std::optional<std::string_view> port;
    if (text.starts_with('[')) {
        const size_t close = text.find(']');
        if (close == std::string_view::npos)
            throw bad("missing ']'");
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            throw bad("expected [ADDRESS]:PORT");
        if (!rest.empty())
            port = rest.substr(1);
    } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            throw bad("write IPv6 addresses as [ADDRESS]:PORT");
    }
    if (host.empty())
        throw bad("no host");
    line.host = std::string(host);
    line.port = kDefaultHttpPort;
    if (port && !parseNumber(*port, line.port))
        throw bad("the port must be a number from 0 to 65535");
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string> &arguments,
                             const std::string &defaultListen, unsigned defaultThreads)
{
    CommandLine line;
    line.threads = defaultThreads == 0 ? 1 : std::min(defaultThreads, kMaxThreads);
    std::string listen = defaultListen;
    size_t first = 0;
    if (!arguments.empty() && (arguments[0] == "labels" || arguments[0] == "lookup")) {
        line.action =
            arguments[0] == "labels" ? CommandLine::Action::Labels : CommandLine::Action::Lookup;
        first = 1;
    }
    bool lookupFileGiven = false;
    for (size_t i = first; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        std::string_view name = argument;
        std::optional<std::string> value;
        if (const size_t equals = argument.find('=');
            argument.starts_with("--") && equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = std::string(argument.substr(equals + 1));
        }
        auto requireValue = [&]() -> std::string {
            if (value)
                return *value;
            if (i + 1 >= arguments.size())
                throw UsageError("option " + std::string(name) + " needs a value");
            return arguments[++i];
        };
        auto refuseValue = [&] {
            if (value)
                throw UsageError("option " + std::string(name) + " takes no value");
        };

        if (line.action == CommandLine::Action::Lookup && !argument.starts_with("--")) {
            if (std::exchange(lookupFileGiven, true))
                throw UsageError("lookup takes one file, or - for standard input");
            line.lookupFile = std::string(argument);
            continue;
        }
        if (line.action == CommandLine::Action::Lookup &&
            std::find(kLookupOptions.begin(), kLookupOptions.end(), name) == kLookupOptions.end())
            throw UsageError("option " + std::string(name) + " does not go with lookup");

        if (name == "--help" || name == "-h") {
            refuseValue();
            line.action = CommandLine::Action::ShowHelp;
        } else if (name == "--version") {
            refuseValue();
            line.action = CommandLine::Action::ShowVersion;
        } else if (name == "--access-log") {
            refuseValue();
            line.accessLog = true;
        } else if (name == "--listen") {
            listen = requireValue();
        } else if (name == "--threads") {
            const std::string text = requireValue();
            if (!parseNumber(std::string_view(text), line.threads) || line.threads == 0 ||
                line.threads > kMaxThreads)
                throw UsageError("bad --threads \"" + text + "\": give a number from 1 to " +
                                 std::to_string(kMaxThreads));
        } else if (name == "--drain-timeout") {
            const std::string text = requireValue();
            unsigned seconds = 0;
            if (!parseNumber(std::string_view(text), seconds) || seconds > kMaxDrainSeconds)
                throw UsageError("bad --drain-timeout \"" + text + "\": give seconds from 0 to " +
                                 std::to_string(kMaxDrainSeconds));
            line.drainTimeout = std::chrono::seconds(seconds);
        } else if (name == "--batch-max-rows") {
            const std::string text = requireValue();
            if (!parseNumber(std::string_view(text), line.batchMaxRows) || line.batchMaxRows == 0 ||
                line.batchMaxRows > kMaxBatchRows)
                throw UsageError("bad --batch-max-rows \"" + text + "\": give a number from 1 to " +
                                 std::to_string(kMaxBatchRows));
        } else if (name == "--downloads") {
            const std::string text = requireValue();
            if (text.empty())
                throw UsageError("option --downloads needs a folder");
            line.downloads = text;
        } else if (name == "--segments") {
            const std::string text = requireValue();
            if (text.empty())
                throw UsageError("option --segments needs a file");
            line.segments.emplace_back(text);
        } else if (name == "--database") {
            const std::string text = requireValue();
            if (text.empty())
                throw UsageError("option --database needs a file");
            line.database = text;
        } else if (name == "--label-min-reporters" || name == "--label-window-days") {
            const std::string text = requireValue();
            const bool days = name == "--label-window-days";
            const unsigned most = days ? kMaxLabelDays : kMaxMinReporters;
            unsigned number = 0;
            if (!parseNumber(std::string_view(text), number) || number == 0 || number > most)
                throw UsageError("bad " + std::string(name) + " \"" + text +
                                 "\": give a number from 1 to " + std::to_string(most));
            (days ? line.labelWindowDays : line.labelMinReporters) = number;
        } else if (name == "--trusted-proxy") {
            const std::string text = requireValue();
            if (!TrustedProxies::parseBlock(text))
                throw UsageError("bad --trusted-proxy \"" + text +
                                 "\": give an address or a block such as 10.0.0.0/8");
            line.trustedProxies.push_back(text);
        } else if (name == "--metrics-from") {
            const std::string text = requireValue();
            if (!AddressBlocks::parse(text))
                throw UsageError("bad --metrics-from \"" + text +
                                 "\": give an address or a block such as 10.0.0.0/8");
            line.metricsFrom.push_back(text);
        } else if (name == "--cors-origin") {
            const std::string text = requireValue();
            const auto origin = canonicalOrigin(text);
            if (!origin)
                throw UsageError("bad --cors-origin \"" + text +
                                 "\": give an origin such as https://www.example.com, with no "
                                 "path (a name in ASCII, as browsers send it)");
            line.corsOrigins.push_back(*origin);
        } else if (name == "--site-host") {
            const std::string text = requireValue();
            const auto host = hostNameOf(text);
            if (!host)
                throw UsageError("bad --site-host \"" + text +
                                 "\": give the name the site is reached by, such as "
                                 "www.example.com");
            line.siteHosts.push_back(*host);
        } else if (name == "--format" && line.action == CommandLine::Action::Lookup) {
            const std::string text = requireValue();
            if (text != "csv" && text != "jsonl")
                throw UsageError("bad --format \"" + text + "\": give csv or jsonl");
            line.lookupJsonLines = text == "jsonl";
        } else if (name == "--before" && line.action == CommandLine::Action::Labels) {
            line.before = requireValue();
        } else if ((name == "--from" || name == "--to") &&
                   line.action == CommandLine::Action::Labels) {
            (name == "--from" ? line.copyFrom : line.copyTo) = requireValue();
        } else if (line.action == CommandLine::Action::Labels && !argument.starts_with("--")) {
            line.labelsCommand.emplace_back(argument);
        } else {
            throw UsageError("unknown option \"" + std::string(argument) + "\"");
        }
    }
    if (line.action != CommandLine::Action::Lookup)
        parseListen(listen, line);
    return line;
}

std::string usageText() { return zuno::kLookupdHelp; }

}  // namespace zuno::service
