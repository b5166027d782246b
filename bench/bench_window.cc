// SPDX-License-Identifier: Apache-2.0
#include "canned_reply_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <poll.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

// Start-up to the window being mapped, and resident memory after one lookup, of the program
// against a minimal Qt Widgets window with one label; both run in turn under one Xvfb.

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 15;

struct XcbDisconnect {
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};
struct FreeEvent {
    void operator()(xcb_generic_event_t *event) const { std::free(event); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;
using XcbEvent = std::unique_ptr<xcb_generic_event_t, FreeEvent>;

struct Sample {
    double shownMs = 0;
    double residentMiB = 0;
    double anonymousMiB = 0;  // the part of it not backed by files: heap, stacks
};

struct Program {
    const char *label;
    QString path;
    QStringList arguments;
    bool looksUp;
    std::vector<Sample> samples;
};

// The next top-level window mapped on the display, or nothing within the limit.
std::optional<xcb_window_t> nextMappedWindow(xcb_connection_t *x, std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    pollfd descriptor{xcb_get_file_descriptor(x), POLLIN, 0};
    while (!xcb_connection_has_error(x)) {
        while (XcbEvent event{xcb_poll_for_event(x)}) {
            if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY)
                continue;
            const auto *map = reinterpret_cast<const xcb_map_notify_event_t *>(event.get());
            if (!map->override_redirect)
                return map->window;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms)
            break;
        poll(&descriptor, 1, int(left.count()));
    }
    return std::nullopt;
}

void discardEvents(xcb_connection_t *x)
{
    while (XcbEvent event{xcb_poll_for_event(x)}) {}
}

// A "Name:   1234 kB" line of /proc/PID/status, in MiB; -1 when absent.
double statusMiB(qint64 pid, QByteArrayView name)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line; !(line = status.readLine()).isEmpty();) {
        if (line.startsWith(name) && line.at(name.size()) == ':')
            return line.mid(name.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

void spin(std::chrono::milliseconds duration)
{
    const Clock::time_point until = Clock::now() + duration;
    while (Clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool clickLookup(const QProcessEnvironment &environment, xcb_window_t window)
{
    QProcess xdotool;
    xdotool.setProcessEnvironment(environment);
    xdotool.start(u"xdotool"_s,
                  {u"mousemove"_s, u"--window"_s, QString::number(window), u"240"_s, u"60"_s,
                   u"click"_s, u"1"_s});
    return xdotool.waitForFinished(10'000) && xdotool.exitCode() == 0;
}

std::optional<Sample> measure(const Program &program, const QProcessEnvironment &environment,
                              xcb_connection_t *x, zuno::bench::CannedReplyServer &server)
{
    discardEvents(x);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());

    const Clock::time_point start = Clock::now();
    process.start(program.path, program.arguments);
    const std::optional<xcb_window_t> window = nextMappedWindow(x, 20s);
    const Clock::time_point shown = Clock::now();

    std::optional<Sample> sample;
    bool lookedUp = !program.looksUp;
    if (window && program.looksUp && clickLookup(environment, *window)) {
        const qsizetype before = server.requestCount();
        const Clock::time_point deadline = Clock::now() + 10s;
        while (server.requestCount() == before && Clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        lookedUp = server.requestCount() > before;
    }
    if (window && lookedUp) {
        spin(500ms);  // the reply shown and painted, and the same settling time for both
        sample = Sample{std::chrono::duration<double, std::milli>(shown - start).count(),
                        statusMiB(process.processId(), "VmRSS"),
                        statusMiB(process.processId(), "RssAnon")};
    }
    process.kill();
    process.waitForFinished();
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    // -displayfd makes Xvfb take a free display number and tell it on that descriptor.
    QProcess xvfb;
    xvfb.start(u"Xvfb"_s,
               {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s, u"-screen"_s, u"0"_s,
                u"1024x768x24"_s});
    if (!xvfb.waitForReadyRead(15'000)) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    const QByteArray display = ':' + xvfb.readLine().trimmed();

    XcbConnection x(xcb_connect(display.constData(), nullptr));
    if (xcb_connection_has_error(x.get())) {
        std::fprintf(stderr, "cannot connect to Xvfb at %s\n", display.constData());
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x.get())).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x.get(), root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x.get());

    zuno::bench::CannedReplyServer server("13800138000 \xb1\xb1\xbe\xa9 \xd2\xc6\xb6\xaf");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, QString::fromLatin1(display));
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);

    std::vector<Program> programs = {
        {"minimal window, one label", QStringLiteral(MINIMAL_WINDOW), {}, false, {}},
        {"zuno-lookup, one lookup",
         QStringLiteral(ZUNO_LOOKUP_AT),
         {server.hostAndPort()},
         true,
         {}},
    };

    // One warm-up round, then the two in turn, first one then the other, so drift hits both.
    for (int round = -1; round < kRounds; ++round) {
        for (int i = 0; i < int(programs.size()); ++i) {
            Program &program = programs[(round & 1) ? programs.size() - 1 - i : i];
            const std::optional<Sample> sample = measure(program, environment, x.get(), server);
            if (!sample) {
                std::fprintf(stderr, "%s: no window or no lookup\n", program.label);
                return 1;
            }
            if (round >= 0)
                program.samples.push_back(*sample);
        }
    }

    double shown[2];
    double resident[2];
    double anonymous[2];
    std::printf("Medians of %d runs under Xvfb (%s), QT_QPA_PLATFORM=xcb\n", kRounds,
                display.constData());
    for (int i = 0; i < 2; ++i) {
        std::vector<double> shownMs;
        std::vector<double> residentMiB;
        std::vector<double> anonymousMiB;
        for (const Sample &sample : programs[i].samples) {
            shownMs.push_back(sample.shownMs);
            residentMiB.push_back(sample.residentMiB);
            anonymousMiB.push_back(sample.anonymousMiB);
        }
        shown[i] = median(shownMs);
        resident[i] = median(residentMiB);
        anonymous[i] = median(anonymousMiB);
        std::printf(
            "  %-26s start to window mapped %6.1f ms   resident %5.1f MiB (anonymous %4.1f)\n",
            programs[i].label, shown[i], resident[i], anonymous[i]);
    }
    std::printf("  %-26s start-up %.2fx   resident %.2fx (anonymous %.2fx)   goal: 1.20x\n",
                "ratio", shown[1] / shown[0], resident[1] / resident[0],
                anonymous[1] / anonymous[0]);

    xvfb.terminate();
    xvfb.waitForFinished();
    return 0;
}
