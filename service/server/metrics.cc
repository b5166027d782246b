// SPDX-License-Identifier: Apache-2.0
#include "server/metrics.h"

#include "log/log_line.h"
#include "number/data_versions.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace zuno::service {
namespace {

std::string number(double value)
{
    char text[32];
    const bool whole = value == static_cast<double>(static_cast<long long>(value)) && value < 1e15;
    std::snprintf(text, sizeof text, whole ? "%.0f" : "%.15g", value);
    return text;
}

void family(std::string &out, std::string_view name, std::string_view type, std::string_view help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string &out, std::string_view name, std::string_view labels, double value)
{
    out.append(name);
    if (!labels.empty())
        out.append("{").append(labels).append("}");
    out.append(" ").append(number(value)).append("\n");
}

// Entries of /proc/self/fd, less the one the listing itself holds open; -1 when unreadable.
double openDescriptors()
{
    std::error_code error;
    double count = -1;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return error ? -1 : count;
}

double residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    if (!(statm >> pages >> resident))
        return -1;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

}  // namespace

void ThreadMetrics::countRequest(size_t routeLabel, unsigned status,
                                 std::chrono::steady_clock::duration taken)
{
    const size_t statusClass = status >= 100 && status < 600 ? status / 100 - 1 : 4;
    requests[routeLabel].byClass[statusClass].add();
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(taken).count();
    const auto microseconds = static_cast<std::uint64_t>(nanoseconds / 1000);
    size_t bucket = 0;
    while (bucket < kLatencyBoundsMicroseconds.size() &&
           microseconds >= kLatencyBoundsMicroseconds[bucket])
        ++bucket;
    latency[bucket].add();
    latencyNanoseconds.add(static_cast<std::uint64_t>(nanoseconds));
}

std::string metricsText(const std::vector<const ThreadMetrics *> &threads,
                        const std::vector<std::string> &routeLabels, const ProcessFacts &process)
{
    const auto sum = [&](auto counterOf) {
        std::uint64_t total = 0;
        for (const ThreadMetrics *thread : threads)
            total += counterOf(*thread).value();
        return static_cast<double>(total);
    };
    std::string out;
    out.reserve(8192);

    family(out, "zuno_http_requests_total", "counter",
           "Requests answered, by route and status class.");
    for (size_t route = 0; route < routeLabels.size(); ++route)
        for (size_t statusClass = 0; statusClass < ThreadMetrics::kStatusClasses; ++statusClass)
            sample(out, "zuno_http_requests_total",
                   "route=\"" + routeLabels[route] + "\",code=\"" +
                       std::to_string(statusClass + 1) + "xx\"",
                   sum([&](const ThreadMetrics &t) -> const Counter & {
                       return t.requests[route].byClass[statusClass];
                   }));

    family(out, "zuno_lookups_total", "counter", "Number lookups, by outcome.");
    for (size_t verdict = 0; verdict < kVerdictCount; ++verdict)
        sample(out, "zuno_lookups_total",
               "outcome=\"" + std::string(verdictName(static_cast<Verdict>(verdict))) + "\"",
               sum([&](const ThreadMetrics &t) -> const Counter & { return t.lookups[verdict]; }));

    family(out, "zuno_http_request_duration_seconds", "histogram",
           "Time from a request's head to the last byte of its answer handed to the system.");
    double cumulative = 0;
    for (size_t bucket = 0; bucket <= kLatencyBoundsMicroseconds.size(); ++bucket) {
        cumulative +=
            sum([&](const ThreadMetrics &t) -> const Counter & { return t.latency[bucket]; });
        const std::string bound = bucket < kLatencyBoundsMicroseconds.size()
            ? number(static_cast<double>(kLatencyBoundsMicroseconds[bucket]) / 1e6)
            : "+Inf";
        sample(out, "zuno_http_request_duration_seconds_bucket", "le=\"" + bound + "\"",
               cumulative);
    }
    sample(out, "zuno_http_request_duration_seconds_sum", {},
           sum([](const ThreadMetrics &t) -> const Counter & { return t.latencyNanoseconds; }) /
               1e9);
    sample(out, "zuno_http_request_duration_seconds_count", {}, cumulative);

    const double opened =
        sum([](const ThreadMetrics &t) -> const Counter & { return t.connectionsOpened; });
    const double closed =
        sum([](const ThreadMetrics &t) -> const Counter & { return t.connectionsClosed; });
    family(out, "zuno_http_connections_open", "gauge", "Client connections open now.");
    sample(out, "zuno_http_connections_open", {}, opened - closed);
    family(out, "zuno_http_connections_total", "counter", "Client connections accepted.");
    sample(out, "zuno_http_connections_total", {}, opened);
    family(out, "zuno_http_connections_refused_total", "counter",
           "Connections refused for want of file descriptors.");
    sample(out, "zuno_http_connections_refused_total", {},
           sum([](const ThreadMetrics &t) -> const Counter & { return t.connectionsRefused; }));
    family(out, "zuno_http_response_bytes_total", "counter",
           "Bytes of responses, header and body, handed to the system.");
    sample(out, "zuno_http_response_bytes_total", {},
           sum([](const ThreadMetrics &t) -> const Counter & { return t.bytesSent; }));

    family(out, "zuno_log_lines_dropped_total", "counter", "Log lines the log could not take.");
    sample(out, "zuno_log_lines_dropped_total", {}, static_cast<double>(logLinesDropped()));
    family(out, "zuno_draining", "gauge", "1 from the moment the service starts to stop.");
    sample(out, "zuno_draining", {}, process.draining ? 1 : 0);
    family(out, "zuno_build_info", "gauge",
           "The service's version and that of its built-in data; always 1.");
    sample(out, "zuno_build_info",
           "version=\"" + std::string(process.version) + "\",phonenumber_version=\"" +
               kPhoneNumberDataVersion + "\",carrier_table_date=\"" + kCarrierTableDate + "\"",
           1);

    if (process.labels) {
        const StoreHealth store = process.labels->health();
        family(out, "zuno_label_store_up", "gauge",
               "1 while the label database takes reports, 0 while it fails (reports answer 503).");
        sample(out, "zuno_label_store_up", "store=\"" + std::string(store.store) + "\"",
               store.up ? 1 : 0);
        family(out, "zuno_label_store_reconnects_total", "counter",
               "Connections to the label database made again after one was lost.");
        sample(out, "zuno_label_store_reconnects_total", {}, static_cast<double>(store.reconnects));
        family(out, "zuno_label_store_failed_writes_total", "counter",
               "Reports and withdrawals refused because the label database failed.");
        sample(out, "zuno_label_store_failed_writes_total", {},
               static_cast<double>(store.failedWrites));
    }
    if (process.downloadsOffered) {
        family(out, "zuno_downloads_offered", "gauge",
               "Files the downloads folder offers now; 0 while it cannot be read.");
        sample(out, "zuno_downloads_offered", {}, static_cast<double>(*process.downloadsOffered));
    }
    if (process.segments) {
        family(out, "zuno_segment_reloads_failed_total", "counter",
               "Reloads of the segment files that failed, the data in force kept.");
        sample(out, "zuno_segment_reloads_failed_total", {},
               static_cast<double>(process.segments->failedReloads()));
    }

    family(out, "process_start_time_seconds", "gauge",
           "Start time of the process since the Unix epoch, in seconds.");
    sample(out, "process_start_time_seconds", {},
           static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   process.started.time_since_epoch())
                                   .count()) /
               1e3);
    if (const double descriptors = openDescriptors(); descriptors >= 0) {
        family(out, "process_open_fds", "gauge", "Open file descriptors.");
        sample(out, "process_open_fds", {}, descriptors);
    }
    if (const double resident = residentBytes(); resident >= 0) {
        family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        sample(out, "process_resident_memory_bytes", {}, resident);
    }
    return out;
}

}  // namespace zuno::service
