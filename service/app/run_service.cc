// SPDX-License-Identifier: Apache-2.0
#include "app/run_service.h"

#include "app/command_line.h"
#include "app/labels_command.h"
#include "app/lookup_command.h"
#include "app/segment_watcher.h"
#include "app/site_data.h"
#include "http/web_origin.h"
#include "log/log_line.h"
#include "number/data_sets.h"
#include "number/segment_store.h"
#include "server/server.h"
#include "server/systemd_sockets.h"
#include "site/site.h"
#include "store/postgres/pg_connection.h"

#include <zuno/service_host.h>
#include <zuno/version.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include <sys/resource.h>

#include <csignal>
#include <exception>
#include <iostream>
#include <thread>

namespace {

using zuno::service::CommandLine;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr std::chrono::milliseconds kLastLinesTime{1000};

// Each client holds a descriptor; the usual soft limit of 1024 would cap the connections.
void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Failing leaves the old limit, which still serves; nothing to report.
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

boost::asio::ip::tcp::endpoint resolveListen(const CommandLine &line)
{
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(line.host, error);
    if (!error)
        return {address, line.port};
    boost::asio::io_context context;
    boost::asio::ip::tcp::resolver resolver(context);
    const auto results = resolver.resolve(line.host, std::to_string(line.port),
                                          boost::asio::ip::tcp::resolver::passive, error);
    if (error || results.empty())
        throw zuno::service::UsageError("cannot listen on \"" + line.host +
                                        "\": not an address this machine knows");
    return results.begin()->endpoint();
}

}  // namespace

namespace zuno::service {

int runService(int argc, char **argv)
{
    const std::string program = kProgramName;
    // A log reader that went away must not end the service: writing then fails with EPIPE.
    // Ignoring SIGPIPE cannot fail, so the result is not looked at.
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever the way out, the last lines get a moment to be written, and no more.
    struct FlushLogAtEnd {
        ~FlushLogAtEnd() { flushLog(kLastLinesTime); }
    } flushLogAtEnd;
    std::chrono::milliseconds segmentsLoadTime{0};
    try {
        const CommandLine line =
            parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), zuno::kServiceHost,
                             std::thread::hardware_concurrency());
        if (line.action == CommandLine::Action::ShowHelp) {
            std::cout << usageText();
            return 0;
        }
        if (line.action == CommandLine::Action::Lookup)
            return lookupToStandardOutput(line);
        // The operator's number blocks, refused whole at start when one file cannot be used.
        SegmentStore segments;
        if (!line.segments.empty()) {
            const auto began = std::chrono::steady_clock::now();
            loadSegments(line, segments);
            segmentsLoadTime = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - began);
        }
        if (line.action == CommandLine::Action::ShowVersion) {
            std::cout << program << ' ' << zuno::kVersion << '\n';
            for (const DataSet &set : dataSets(segments.current().get()))
                std::cout << "data " << set.kind << ": " << set.name
                          << (set.version.empty() ? "" : " " + set.version)
                          << (set.date.empty() ? "" : " (" + set.date + ")") << '\n';
            return 0;
        }
        if (line.action == CommandLine::Action::Labels)
            return runLabelsCommand(line);

        ServerOptions options;
        options.listeningSockets = socketsFromSystemd();
        if (options.listeningSockets.empty())
            options.listen = resolveListen(line);
        options.threads = line.threads;
        options.accessLog = line.accessLog;
        options.drainTimeout = line.drainTimeout;
        for (const std::string &block : line.metricsFrom)
            options.metricsFrom.add(*AddressBlocks::parse(block));

        DownloadFolder downloads;
        if (line.downloads) {
            try {
                downloads = DownloadFolder(*line.downloads);
            } catch (const std::filesystem::filesystem_error &error) {
                throw UsageError("cannot offer downloads from \"" + line.downloads->string() +
                                 "\": " + error.code().message());
            }
        }
        // Opened before serving: a database that cannot be opened or migrated ends the start.
        SiteLabels labels;
        std::unique_ptr<LabelStore> store;
        const auto database = labelDatabase(line);
        if (database) {
            OpenedLabels opened = openLabels(*database, line);
            labels.networks.emplace(opened.reporterSecret);
            store = std::move(opened.store);
        }
        labels.corsOrigins = line.corsOrigins;
        // The name the programs are built to reach is the site's own, with those listed.
        labels.siteNames = line.siteHosts;
        if (const auto builtFor = hostNameOf(zuno::kServiceHost))
            labels.siteNames.push_back(*builtFor);
        if (store) {
            labels.store = store.get();
            for (const std::string &block : line.trustedProxies)
                labels.trustedProxies.add(*TrustedProxies::parseBlock(block));
        }
        const Site site(std::move(downloads), std::move(labels), &segments, line.batchMaxRows);
        std::unique_ptr<SegmentWatcher> segmentWatcher;
        if (!line.segments.empty())
            segmentWatcher = std::make_unique<SegmentWatcher>(segments, line.segments);
        // SIGHUP reads the download listing and the segment files again.
        options.onReload = [&site, &segmentWatcher] {
            site.downloads().rescan();
            if (segmentWatcher)
                segmentWatcher->reloadNow();
        };
        raiseOpenFileLimit();

        std::unique_ptr<Server> server;
        try {
            server = std::make_unique<Server>(site, options);
        } catch (const boost::system::system_error &error) {
            if (!options.listeningSockets.empty())
                throw UsageError(error.what());
            // The listening socket is made first; what fails after it is no fault of --listen.
            if (error.code() == boost::asio::error::no_descriptors)
                throw std::runtime_error("cannot start: " + error.code().message() + " for " +
                                         std::to_string(line.threads) +
                                         " threads and the socket to listen on (raise the limit "
                                         "on open files, or use fewer threads)");
            throw UsageError("cannot listen on " + line.host + ":" + std::to_string(line.port) +
                             ": " + error.code().message());
        }
        server->stopOnSignals({SIGINT, SIGTERM});
        server->run([&] {
            std::string addresses;
            for (const auto &bound : server->localEndpoints())
                addresses += std::string(addresses.empty() ? "" : " ") + "http://" +
                    (bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                             : bound.address().to_string()) +
                    ":" + std::to_string(bound.port()) + "/";
            logLine(LogLevel::Info,
                    program + ' ' + zuno::kVersion + ": " + std::to_string(line.threads) +
                        (line.threads == 1 ? " thread, " : " threads, ") +
                        (options.listeningSockets.empty() ? "" : "sockets from systemd, ") +
                        "listening on " + addresses,
                    LogForm::Record);
            if (const auto table = segments.current())
                for (const SegmentSource &source : table->sources())
                    logLine(LogLevel::Info,
                            "segments from " + source.path + ": " + source.name + ", " +
                                source.date + ", " + std::to_string(source.rows) +
                                " rows (all files in " + std::to_string(segmentsLoadTime.count()) +
                                " ms)");
            if (!database)
                logLine(LogLevel::Info,
                        "no --database and no state directory: labels are off, "
                        "reports are refused");
            else
                logLine(LogLevel::Info,
                        "labels in \"" +
                            (isPostgresUri(database->string()) ? withoutPassword(database->string())
                                                               : database->string()) +
                            "\": " + std::to_string(store->board().current().size()) +
                            " numbers labelled");
            // The home page then tells visitors only that no package is offered: say why here.
            if (!line.downloads)
                logLine(LogLevel::Info, "no --downloads folder: no package is offered");
            else if (site.downloads().listing()->total == 0)
                logLine(LogLevel::Info,
                        "the downloads folder \"" + line.downloads->string() +
                            "\" is empty: no package is offered");
        });
        // Writes still queued send their answers to the server's threads, which have stopped:
        // the store finishes them while the server, whose queues take them, still exists.
        store.reset();
        return 0;
    } catch (const SocketActivationError &error) {
        logLine(LogLevel::Error, error.what());
        return kExitUsage;
    } catch (const UsageError &error) {
        std::cerr << program << ": " << error.what() << "\n"
                  << "Try '" << program << " --help' for more information.\n";
        return kExitUsage;
    } catch (const std::exception &error) {
        logLine(LogLevel::Error, error.what());
        return kExitFailure;
    }
}

}  // namespace zuno::service
