// SPDX-License-Identifier: Apache-2.0
// Boost first: Qt's keyword macros must not reach it.
#include "raw_http.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString kProgram = QString::fromUtf8(ZUNO_LOOKUPD_PATH);
constexpr qsizetype kDownloadSize = 24 * 1024 * 1024;

// Starts the program on a free port and returns that port once it says it listens, 0 if it does
// not; what it said until then goes to said. A shell command such as "ulimit -n 40" may set its
// limits first.
quint16 startListening(QProcess &process, QStringList arguments, const QString &limit = u":"_s,
                       QByteArray *told = nullptr)
{
    process.setReadChannel(QProcess::StandardError);
    arguments << u"--listen"_s << u"127.0.0.1:0"_s;
    process.start(u"/bin/sh"_s,
                  QStringList{u"-c"_s, limit + u" && exec \"$0\" \"$@\""_s, kProgram} + arguments);
    if (!process.waitForStarted())
        return 0;
    QByteArray said;
    // The line after the one it listens with says whether labels are on: read both.
    while (!(said.contains("/\n") && said.contains("labels")) && process.waitForReadyRead(10'000))
        said += process.readAllStandardError();
    if (told)
        *told = said;
    const auto match = QRegularExpression(u"listening on http://127\\.0\\.0\\.1:(\\d+)/\n"_s)
                           .match(QString::fromUtf8(said));
    return match.hasMatch() ? match.captured(1).toUShort() : 0;
}

// Reads the program's standard error into log until it holds needle; false after timeout.
bool waitForLog(QProcess &process, QByteArray &log, const QByteArray &needle, int timeout = 5'000)
{
    QElapsedTimer clock;
    clock.start();
    while (!log.contains(needle) && clock.elapsed() < timeout) {
        process.waitForReadyRead(100);
        log += process.readAllStandardError();
    }
    return log.contains(needle);
}

// One series of the program's /metrics; -1 when it is not there.
double metric(quint16 port, std::string_view series)
{
    return seriesValue(rawGet(port, "/metrics").rest, series);
}

// Asks until the condition holds, for up to 20 s. Unlike QTRY_VERIFY, it does not ask once more
// after: each /metrics request is a connection of its own, and the one before may still be
// closing then.
bool eventually(const std::function<bool()> &condition)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > 20'000)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Starts the program with a 24 MiB file to download.
quint16 startWithADownload(QProcess &process, const QTemporaryDir &folder, QStringList arguments,
                           QByteArray *told = nullptr)
{
    QFile file(QDir(folder.path()).filePath(u"big.bin"_s));
    if (!file.open(QIODevice::WriteOnly) || !file.resize(kDownloadSize))
        return 0;
    file.close();
    return startListening(process, arguments << u"--downloads"_s << folder.path(), u":"_s, told);
}

// The most memory the process has held at once, from /proc; -1 when it cannot be read.
qint64 peakResidentBytes(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const auto peak =
        QRegularExpression(u"VmHWM:\\s+(\\d+) kB"_s).match(QString::fromLatin1(status.readAll()));
    return peak.hasMatch() ? peak.captured(1).toLongLong() * 1024 : -1;
}

QString homePage(quint16 port) { return QString::fromUtf8(rawGet(port, "/").rest); }

bool raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

class TestLookupdProgram : public QObject
{
    Q_OBJECT

private slots:
    // Signals
    void shouldReloadOnHangUpAndIgnoreUserSignalsWithoutCuttingADownload();

    // Stopping
    void shouldFinishWhatIsInFlightAndCloseTheRestWhenDraining();
    void shouldStopWithoutWaitingForTheRest_data();
    void shouldStopWithoutWaitingForTheRest();

    // Limits of the machine
    void shouldRefuseNewConnectionsCleanlyWhenOutOfDescriptors();
    void shouldGiveBackDescriptorsAndMemoryAfterFloods();
    void shouldListenAndStopAtOnceWithPackageBombsInTheFolder();
};

// Without inotify, and with the folder checked only hourly: only SIGHUP can show a new file.
void TestLookupdProgram::shouldReloadOnHangUpAndIgnoreUserSignalsWithoutCuttingADownload()
{
    QTemporaryDir folder;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"ZUNO_LOOKUPD_POLL_DOWNLOADS"_s, u"3600"_s);
    process.setProcessEnvironment(environment);
    QByteArray log;
    const quint16 port = startWithADownload(process, folder, {}, &log);
    QVERIFY(port != 0);
    QCOMPARE(log.count("checking it every 3600 s instead\n"), 1);

    boost::asio::io_context context;
    RawSocket download = rawConnect(context, port, 16 * 1024);
    rawSend(download, "GET /download/big.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    char head[4096];
    std::string received(head, download.read_some(boost::asio::buffer(head)));
    QVERIFY(writeFile(QDir(folder.path()).filePath(u"added.txt"_s), "added"));
    for (const int signal : {SIGHUP, SIGUSR1, SIGUSR2})
        QVERIFY(::kill(static_cast<pid_t>(process.processId()), signal) == 0);
    QVERIFY(waitForLog(process, log, "zuno-lookupd: SIGUSR2: ignored\n"));
    QVERIFY2(log.contains("zuno-lookupd: SIGHUP: reloading the download listing\n") &&
                 log.contains("zuno-lookupd: SIGUSR1: ignored\n"),
             log.constData());
    QVERIFY(eventually([&] { return homePage(port).contains(u"added.txt"_s); }));

    received += readToEnd(download);
    QCOMPARE(qsizetype(received.size() - (received.find("\r\n\r\n") + 4)), kDownloadSize);
    QCOMPARE(process.state(), QProcess::Running);
    QCOMPARE(rawGet(port, "/healthz").status, 200);
    process.kill();
    process.waitForFinished();
}

// With --access-log: a download read slowly, an idle kept-alive connection and one whose request
// comes during the drain.
void TestLookupdProgram::shouldFinishWhatIsInFlightAndCloseTheRestWhenDraining()
{
    QTemporaryDir folder;
    QProcess process;
    const quint16 port = startWithADownload(process, folder, {u"--access-log"_s});
    QVERIFY(port != 0);
    QByteArray log;

    boost::asio::io_context context;
    RawSocket download = rawConnect(context, port, 16 * 1024);
    rawSend(download, "GET /download/big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    char head[4096];
    std::string received(head, download.read_some(boost::asio::buffer(head)));
    RawSocket idle = rawConnect(context, port);
    rawSend(idle, "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    idle.read_some(boost::asio::buffer(head));
    // A method past any sane length, and a request refused for its leading empty lines.
    QCOMPARE(
        rawExchange(port,
                    std::string(1000, 'M') + " / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            .status,
        405);
    QCOMPARE(rawExchange(port, std::string(9000, '\n')).status, 400);
    RawSocket early = rawConnect(context, port);
    // Three connections, and the one asking.
    QVERIFY(eventually([&] { return metric(port, "zuno_http_connections_open") == 4; }));

    QVERIFY(::kill(static_cast<pid_t>(process.processId()), SIGTERM) == 0);
    QVERIFY(waitForLog(process, log, "zuno-lookupd: SIGTERM: draining "));
    RawSocket late(context);
    boost::system::error_code error;
    late.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
    QVERIFY2(error, "a connection was accepted while draining");

    rawSend(early, "GET /readyz HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = readToEnd(early);
    QVERIFY2(answer.starts_with("HTTP/1.1 503 ") && answer.ends_with("\r\n\r\ndraining\n") &&
                 answer.find("\r\nConnection: close\r\n") != std::string::npos,
             answer.c_str());
    QCOMPARE(readToEnd(idle), std::string());
    received += readToEnd(download);
    const size_t body = received.find("\r\n\r\n") + 4;
    QCOMPARE(qsizetype(received.size() - body), kDownloadSize);

    QVERIFY(process.waitForFinished(5'000));
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    // The combined log format, then microseconds taken; the client sent no User-Agent.
    const QString line =
        u"\n127\\.0\\.0\\.1 - - \\[\\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d \\+0000\\] "
        "\"GET /%1 HTTP/1\\.1\" %2 %3 \"-\" \"-\" \\d+\n"_s;
    const QString text = u'\n' + QString::fromUtf8(log);
    for (const QString &request :
         {line.arg(u"healthz"_s, u"200"_s, u"6"_s), line.arg(u"readyz"_s, u"503"_s, u"9"_s),
          line.arg(u"download/big\\.bin"_s, u"200"_s).arg(kDownloadSize)})
        QVERIFY2(text.contains(QRegularExpression(request)), qPrintable(request + text));
    const QString cut = u"\"M{32} / HTTP/1\\.1\" 405 "_s;
    QVERIFY2(text.contains(QRegularExpression(cut)), qPrintable(text));
    // Dated and timed from its refusal, not from the epoch.
    QVERIFY2(text.contains(
                 QRegularExpression(u"\\[\\d\\d/[A-Z][a-z][a-z]/20\\d\\d:[^]]*\\] \"-\" 400 "_s)),
             qPrintable(text));
    QVERIFY2(!text.contains(u"/1970:"_s), qPrintable(text));
    QVERIFY2(log.endsWith("zuno-lookupd: stopped: every answer finished\n"), log.constData());
}

void TestLookupdProgram::shouldStopWithoutWaitingForTheRest_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<int>>("sent");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("at the drain timeout")
        << QStringList{u"--drain-timeout"_s, u"1"_s} << QList<int>{SIGINT}
        << QByteArray("SIGINT: draining 1 open connections, for 1 s at most\n"
                      "zuno-lookupd: stopped: drain timed out, closing 1 connections\n");
    QTest::newRow("on a second signal")
        << QStringList{} << QList<int>{SIGTERM, SIGTERM}
        << QByteArray("SIGTERM: draining 1 open connections, for 30 s at most\n"
                      "zuno-lookupd: stopped: at once on a second signal (SIGTERM)\n");
}

// Without --access-log: the drain and the stop are all it says.
void TestLookupdProgram::shouldStopWithoutWaitingForTheRest()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<int>, sent);
    QFETCH(QByteArray, said);
    QTemporaryDir folder;
    QProcess process;
    const quint16 port = startWithADownload(process, folder, arguments);
    QVERIFY(port != 0);
    QByteArray log;
    // A download that this client never reads: it could only end at the send deadline.
    boost::asio::io_context context;
    RawSocket stalled = rawConnect(context, port, 16 * 1024);
    rawSend(stalled, "GET /download/big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(200ms);

    QElapsedTimer clock;
    clock.start();
    for (const int signal : sent) {
        QVERIFY(::kill(static_cast<pid_t>(process.processId()), signal) == 0);
        QVERIFY(waitForLog(process, log, "draining 1 open connections"));
    }
    QVERIFY(process.waitForFinished(5'000));
    QVERIFY2(clock.elapsed() < 3'000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    QCOMPARE(log, "zuno-lookupd: " + said);
}

void TestLookupdProgram::shouldRefuseNewConnectionsCleanlyWhenOutOfDescriptors()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizers' own checks need descriptors (UBSan's vptr check opens a pipe)");
#endif
    QVERIFY(raiseOpenFileLimit());
    QTemporaryDir folder;
    QVERIFY(writeFile(QDir(folder.path()).filePath(u"small.txt"_s), "small"));
    QProcess process;
    const quint16 port = startListening(
        process, {u"--threads"_s, u"1"_s, u"--downloads"_s, folder.path()}, u"ulimit -n 40"_s);
    QVERIFY(port != 0);
    QVERIFY(eventually([&] { return homePage(port).contains(u"small.txt"_s); }));
    QByteArray log;
    boost::asio::io_context context;
    std::vector<RawSocket> open;
    for (int i = 0; i < 60; ++i)
        open.push_back(rawConnect(context, port));
    // The last ones are told so and closed; the first ones are still served.
    const std::string refused = readToEnd(open.back());
    QVERIFY2(refused.starts_with("HTTP/1.1 503 Service Unavailable\r\n") &&
                 refused.find("\r\nDate: ") != std::string::npos &&
                 refused.find("\r\nX-Content-Type-Options: nosniff\r\n") != std::string::npos,
             refused.c_str());
    rawSend(open.front(),
            "GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QVERIFY(readToEnd(open.front()).starts_with("HTTP/1.1 200 OK\r\n"));
    QVERIFY(waitForLog(process, log, "refusing new connections until some close\n"));

    // At the limit, a folder that changes cannot be listed and a file cannot be opened: both are
    // tried again later, not taken for an empty folder or a missing file.
    QVERIFY(writeFile(QDir(folder.path()).filePath(u"added.txt"_s), "added"));
    std::this_thread::sleep_for(1500ms);
    open[1].close();
    std::this_thread::sleep_for(300ms);
    const auto busy = rawGet(port, "/download/small.txt");
    QVERIFY2(busy.status == 503 && busy.header("Retry-After") == "1", busy.head.c_str());

    open.clear();
    QVERIFY(eventually([&] {
        const QString page = homePage(port);
        return page.contains(u"small.txt"_s) && page.contains(u"added.txt"_s);
    }));
    // Served again once descriptors are free.
    QVERIFY(eventually([&] {
        return metric(port, "zuno_http_requests_total{route=\"metrics\",code=\"2xx\"}") >= 0;
    }));
    QVERIFY(metric(port, "zuno_http_connections_refused_total") > 0);
    QVERIFY(waitForLog(process, log, "accepting connections again\n"));
    // Once for each time it ran out (twice at most here), not once for each refusal.
    const qsizetype outOf = log.count("out of file descriptors");
    QVERIFY2(outOf >= 1 && outOf <= 2 && log.count("accepting connections again") == outOf,
             log.constData());
    process.kill();
    process.waitForFinished();
}

void TestLookupdProgram::shouldGiveBackDescriptorsAndMemoryAfterFloods()
{
    QVERIFY(raiseOpenFileLimit());
    QProcess process;
    const quint16 port = startListening(process, {u"--threads"_s, u"2"_s});
    QVERIFY(port != 0);
    const double descriptors = metric(port, "process_open_fds");
    QVERIFY(descriptors > 0);
    const std::string_view hostile[] = {
        "",                                              // connects, says nothing
        "GET /iii.asp?title=1 HTTP/1.1\r\nX-Slow: ",     // a head that never ends
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",  // TLS on the plain port
        "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n"
        "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n",  // never read
    };
    std::vector<double> resident;
    for (int round = 0; round < 3; ++round) {
        boost::asio::io_context context;
        std::vector<RawSocket> flood;
        for (int i = 0; i < 1000; ++i) {
            flood.push_back(rawConnect(context, port));
            rawSend(flood.back(), hostile[i % std::size(hostile)]);
            if (i % 5 == 4)
                flood.back().shutdown(RawSocket::shutdown_send);  // half-closed
        }
        QVERIFY(metric(port, "zuno_http_connections_open") > 500);
        flood.clear();
        // Only the connection asking is left (the one asked before may still be closing).
        QVERIFY2(eventually([&] {
                     return metric(port, "process_open_fds") == descriptors &&
                         metric(port, "zuno_http_connections_open") == 1;
                 }),
                 qPrintable(QString::number(metric(port, "process_open_fds"))));
        resident.push_back(metric(port, "process_resident_memory_bytes"));
    }
    // Memory levels off: the later rounds reuse what the first one took (not under
    // AddressSanitizer, which keeps freed memory in quarantine).
#if !defined(__SANITIZE_ADDRESS__)
    QVERIFY2(resident[2] < resident[0] + 4 * 1024 * 1024,
             qPrintable(u"%1 then %2"_s.arg(resident[0]).arg(resident[2])));
#endif
    process.kill();
    process.waitForFinished();
}

// Packages that unpack to terabytes or ask for a 768 MiB dictionary (make-package-bombs.sh).
void TestLookupdProgram::shouldListenAndStopAtOnceWithPackageBombsInTheFolder()
{
    QTemporaryDir folder, made;
    QCOMPARE(QProcess::execute(u"/bin/sh"_s, {QString::fromUtf8(ZUNO_PACKAGE_BOMBS), made.path()}),
             0);
    for (const QString &name : {u"huge.deb"_s, u"nested.deb"_s})
        QVERIFY(QFile::copy(made.filePath(name), QDir(folder.path()).filePath(name)));
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    const quint16 port =
        startListening(process, {u"--downloads"_s, folder.path(), u"--drain-timeout"_s, u"5"_s});
    QVERIFY(port != 0);
    QVERIFY2(clock.elapsed() < 2'000, qPrintable(QString::number(clock.elapsed())));
    const QString refused = u"解包所需超出限制"_s;
    QVERIFY(eventually([&] { return homePage(port).count(refused) == 1; }));

    const qint64 peak = peakResidentBytes(process.processId());
    QVERIFY(peak > 0);
    QVERIFY(QFile::copy(made.filePath(u"dict.xz.deb"_s),
                        QDir(folder.path()).filePath(u"dict.xz.deb"_s)));
    QVERIFY(eventually([&] { return homePage(port).count(refused) == 2; }));
    const qint64 added = peakResidentBytes(process.processId()) - peak;
    QVERIFY2(added < 100 * 1024 * 1024, qPrintable(QString::number(added)));

    // Stopped while one is being read.
    QVERIFY(QFile::copy(made.filePath(u"nested.deb"_s), QDir(folder.path()).filePath(u"b.deb"_s)));
    std::this_thread::sleep_for(400ms);
    clock.restart();
    QVERIFY(::kill(static_cast<pid_t>(process.processId()), SIGTERM) == 0);
    QVERIFY(process.waitForFinished(10'000));
    QVERIFY2(clock.elapsed() < 3'000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestLookupdProgram)
#include "tst_lookupd_program.moc"
