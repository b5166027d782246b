// Boost first: Qt's keyword macros must not reach it.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <zuno/version.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <csignal>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
namespace asio = boost::asio;
using Socket = asio::ip::tcp::socket;

using namespace Qt::StringLiterals;

namespace {

const QString kProgram = QString::fromUtf8(ZUNO_LOOKUPD_PATH);
constexpr int kExitUsage = 2;
constexpr qsizetype kDownloadSize = 24 * 1024 * 1024;

struct Finished {
    int status = -1;
    QString output;  // standard output and standard error together
};

Finished runToEnd(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(kProgram, arguments);
    Finished finished;
    if (!process.waitForFinished(10'000) || process.exitStatus() != QProcess::NormalExit)
        return finished;
    finished.status = process.exitCode();
    finished.output = QString::fromUtf8(process.readAll());
    return finished;
}

// Starts the program on a free port and returns that port once it says it listens, 0 if it does
// not. A shell command such as "ulimit -n 40" may set its limits first.
quint16 startListening(QProcess &process, QStringList arguments, const QString &limit = {})
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setReadChannel(QProcess::StandardError);
    arguments << u"--listen"_s << u"127.0.0.1:0"_s;
    if (limit.isEmpty())
        process.start(kProgram, arguments);
    else
        process.start(u"/bin/sh"_s,
                      QStringList{u"-c"_s, limit + u" && exec \"$0\" \"$@\""_s, kProgram} +
                          arguments);
    if (!process.waitForStarted())
        return 0;
    QByteArray said;
    while (!said.contains("/\n") && process.waitForReadyRead(10'000))
        said += process.readAllStandardError();
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

// A connection to the program; a small receive buffer makes the program's writes wait on it.
std::unique_ptr<Socket> connectTo(asio::io_context &context, quint16 port, int receiveBuffer = 0)
{
    auto socket = std::make_unique<Socket>(context);
    socket->open(asio::ip::tcp::v4());
    if (receiveBuffer > 0)
        socket->set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket->connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

std::string readToEnd(Socket &socket)
{
    std::string received;
    char chunk[64 * 1024];
    boost::system::error_code error;
    while (!error)
        received.append(chunk, socket.read_some(asio::buffer(chunk), error));
    return received;
}

void send(Socket &socket, std::string_view bytes)
{
    boost::system::error_code error;
    asio::write(socket, asio::buffer(bytes), error);
}

// One series of the program's /metrics; -1 when it is not there.
double metric(quint16 port, const std::string &series)
{
    asio::io_context context;
    const auto socket = connectTo(context, port);
    send(*socket, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::string text = readToEnd(*socket);
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + series.size() + 2));
}

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
    void initTestCase() { QVERIFY(portInUse_.listen(QHostAddress::LocalHost)); }
    void shouldPrintItsVersion();
    void shouldRefuseABadCommandLineWithStatus2_data();
    void shouldRefuseABadCommandLineWithStatus2();
    void shouldLogRequestsOnlyWhenAskedAndStopCleanlyOnSignal_data();
    void shouldLogRequestsOnlyWhenAskedAndStopCleanlyOnSignal();

    // Stopping
    void shouldFinishWhatIsInFlightAndCloseTheRestWhenDraining();
    void shouldStopWithoutWaitingForTheRest_data();
    void shouldStopWithoutWaitingForTheRest();

    // Limits of the machine
    void shouldExitWithAClearMessageWhenItCannotStart_data();
    void shouldExitWithAClearMessageWhenItCannotStart();
    void shouldRefuseNewConnectionsCleanlyWhenOutOfDescriptors();
    void shouldGiveBackDescriptorsAndMemoryAfterFloods();

private:
    QTcpServer portInUse_;
};

void TestLookupdProgram::shouldPrintItsVersion()
{
    const Finished finished = runToEnd({u"--version"_s});
    QCOMPARE(finished.status, 0);
    QCOMPARE(finished.output, u"zuno-lookupd " ZUNO_VERSION_TEXT "\n"_s);
}

void TestLookupdProgram::shouldRefuseABadCommandLineWithStatus2_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");
    const auto row = [](const char *name, std::initializer_list<const char *> arguments,
                        const char *complaint) {
        QStringList list;
        for (const char *argument : arguments)
            list << QString::fromUtf8(argument);
        QTest::newRow(name) << list << QString::fromUtf8(complaint);
    };
    row("unknown option", {"--port", "80"}, "unknown option \"--port\"");
    row("missing value", {"--listen"}, "--listen needs a value");
    row("port not a number", {"--listen", "127.0.0.1:http"}, "port must be a number");
    row("port too large", {"--listen=127.0.0.1:65536"}, "port must be a number");
    row("IPv6 without brackets", {"--listen", "::1:8080"}, "[ADDRESS]:PORT");
    row("zero threads", {"--threads", "0"}, "bad --threads \"0\"");
    row("value on a flag", {"--access-log=yes"}, "--access-log takes no value");
    row("missing download folder", {"--listen", "127.0.0.1:0", "--downloads", "/nonexistent/zuno"},
        "cannot offer downloads from \"/nonexistent/zuno\"");
    row("address not on this machine", {"--listen", "192.0.2.1:8080"},
        "cannot listen on 192.0.2.1:8080");
    const QByteArray inUse = "127.0.0.1:" + QByteArray::number(portInUse_.serverPort());
    row("port in use", {"--listen", inUse.constData()}, "Address already in use");
}

void TestLookupdProgram::shouldRefuseABadCommandLineWithStatus2()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    const Finished finished = runToEnd(arguments);
    QCOMPARE(finished.status, kExitUsage);
    QVERIFY2(finished.output.contains(complaint), qPrintable(finished.output));
}

void TestLookupdProgram::shouldLogRequestsOnlyWhenAskedAndStopCleanlyOnSignal_data()
{
    QTest::addColumn<bool>("accessLog");
    QTest::addColumn<int>("signal");
    QTest::newRow("with --access-log, SIGTERM") << true << SIGTERM;
    QTest::newRow("without, SIGINT") << false << SIGINT;
}

void TestLookupdProgram::shouldLogRequestsOnlyWhenAskedAndStopCleanlyOnSignal()
{
    QFETCH(bool, accessLog);
    QFETCH(int, signal);
    QProcess process;
    const quint16 port =
        startListening(process, accessLog ? QStringList{u"--access-log"_s} : QStringList{});
    QVERIFY(port != 0);
    QByteArray log;

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected());
    client.write("GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\n\r\n"
                 "GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    while (client.state() == QAbstractSocket::ConnectedState && client.waitForReadyRead(5'000))
        client.readAll();

    QVERIFY(::kill(static_cast<pid_t>(process.processId()), signal) == 0);
    QVERIFY(process.waitForFinished(10'000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    // The combined log format, then microseconds taken; the client sent no User-Agent.
    const QString line =
        u"127\\.0\\.0\\.1 - - \\[\\d\\d/[A-Z][a-z][a-z]/\\d{4}:\\d\\d:\\d\\d:\\d\\d \\+0000\\] "
        "\"GET %1 HTTP/1\\.1\" %2 \\d+ \"-\" \"-\" \\d+\n"_s;
    const QString text = QString::fromUtf8(log);
    QCOMPARE(text.contains(QRegularExpression(line.arg(u"/iii\\.asp\\?title=110"_s, u"200"_s))),
             accessLog);
    QCOMPARE(text.contains(QRegularExpression(line.arg(u"/nowhere"_s, u"404"_s))), accessLog);
    // Then one line for the drain and one for the stop.
    QVERIFY2(text.contains(u": draining 0 open connections"_s), qPrintable(text));
    QVERIFY2(text.endsWith(u"zuno-lookupd: stopped: every answer finished\n"_s), qPrintable(text));
    QCOMPARE(text.count(u'\n'), accessLog ? 4 : 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

void TestLookupdProgram::shouldFinishWhatIsInFlightAndCloseTheRestWhenDraining()
{
    QTemporaryDir folder;
    QFile file(QDir(folder.path()).filePath(u"big.bin"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(kDownloadSize));
    file.close();
    QProcess process;
    const quint16 port = startListening(process, {u"--downloads"_s, folder.path()});
    QVERIFY(port != 0);
    QByteArray log;

    asio::io_context context;
    // A download, read slowly; an idle kept-alive connection; one whose request is still to come.
    const auto download = connectTo(context, port, 16 * 1024);
    send(*download, "GET /download/big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    char head[4096];
    std::string received(head, download->read_some(asio::buffer(head)));
    const auto idle = connectTo(context, port);
    send(*idle, "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    idle->read_some(asio::buffer(head));
    const auto early = connectTo(context, port);
    // Three connections, and the one asking.
    bool accepted = false;
    for (int i = 0; i < 50 && !(accepted = metric(port, "zuno_http_connections_open") == 4); ++i)
        std::this_thread::sleep_for(20ms);
    QVERIFY(accepted);

    QVERIFY(::kill(static_cast<pid_t>(process.processId()), SIGTERM) == 0);
    QVERIFY(waitForLog(process, log, "zuno-lookupd: SIGTERM: draining "));
    Socket late(context);
    boost::system::error_code error;
    late.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    QVERIFY2(error, "a connection was accepted while draining");

    send(*early, "GET /readyz HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::string answer = readToEnd(*early);
    QVERIFY2(answer.starts_with("HTTP/1.1 503 ") && answer.ends_with("\r\n\r\ndraining\n") &&
                 answer.find("\r\nConnection: close\r\n") != std::string::npos,
             answer.c_str());
    QCOMPARE(readToEnd(*idle), std::string());
    received += readToEnd(*download);
    const size_t body = received.find("\r\n\r\n") + 4;
    QCOMPARE(qsizetype(received.size() - body), kDownloadSize);

    QVERIFY(process.waitForFinished(5'000));
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    QVERIFY2(log.endsWith("zuno-lookupd: stopped: every answer finished\n"), log.constData());
}

void TestLookupdProgram::shouldStopWithoutWaitingForTheRest_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signalCount");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("at the drain timeout")
        << QStringList{u"--drain-timeout"_s, u"1"_s} << 1
        << QByteArray("stopped: drain timed out, closing 1 connections\n");
    QTest::newRow("on a second signal")
        << QStringList{} << 2 << QByteArray("stopped: at once on a second signal (SIGTERM)\n");
}

void TestLookupdProgram::shouldStopWithoutWaitingForTheRest()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signalCount);
    QFETCH(QByteArray, said);
    QTemporaryDir folder;
    QFile file(QDir(folder.path()).filePath(u"big.bin"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(kDownloadSize));
    file.close();
    QProcess process;
    const quint16 port = startListening(process, arguments << u"--downloads"_s << folder.path());
    QVERIFY(port != 0);
    QByteArray log;
    // A download that this client never reads: it could only end at the send deadline.
    asio::io_context context;
    const auto stalled = connectTo(context, port, 16 * 1024);
    send(*stalled, "GET /download/big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(200ms);

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < signalCount; ++i) {
        QVERIFY(::kill(static_cast<pid_t>(process.processId()), SIGTERM) == 0);
        QVERIFY(waitForLog(process, log, "draining 1 open connections"));
    }
    QVERIFY(process.waitForFinished(5'000));
    QVERIFY2(clock.elapsed() < 3'000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(process.exitCode(), 0);
    log += process.readAllStandardError();
    QVERIFY2(log.endsWith("zuno-lookupd: " + said), log.constData());
}

void TestLookupdProgram::shouldExitWithAClearMessageWhenItCannotStart_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("64 threads, 64 open files")
        << u"ulimit -n 64"_s << u"Too many open files for 64 threads"_s;
    QTest::newRow("64 threads, 300 MB of address space")
        << u"ulimit -v 300000"_s << u"cannot start server thread"_s;
}

void TestLookupdProgram::shouldExitWithAClearMessageWhenItCannotStart()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer needs more address space and descriptors than these limits leave");
#endif
    QFETCH(QString, limit);
    QFETCH(QString, complaint);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(
        u"/bin/sh"_s,
        {u"-c"_s, limit + u" && exec \"$0\" --threads 64 --listen 127.0.0.1:0"_s, kProgram});
    QVERIFY(process.waitForFinished(10'000));
    const QString output = QString::fromUtf8(process.readAll());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(output.contains(complaint) && !output.contains(u"listening"_s), qPrintable(output));
}

void TestLookupdProgram::shouldRefuseNewConnectionsCleanlyWhenOutOfDescriptors()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizers' own checks need descriptors (UBSan's vptr check opens a pipe)");
#endif
    QVERIFY(raiseOpenFileLimit());
    QProcess process;
    const quint16 port = startListening(process, {u"--threads"_s, u"1"_s}, u"ulimit -n 40"_s);
    QVERIFY(port != 0);
    QByteArray log;
    asio::io_context context;
    std::vector<std::unique_ptr<Socket>> open;
    for (int i = 0; i < 60; ++i)
        open.push_back(connectTo(context, port));
    // The last ones are told so and closed; the first ones are still served.
    const std::string refused = readToEnd(*open.back());
    QVERIFY2(refused.starts_with("HTTP/1.1 503 Service Unavailable\r\n"), refused.c_str());
    send(*open.front(), "GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QVERIFY(readToEnd(*open.front()).starts_with("HTTP/1.1 200 OK\r\n"));
    QVERIFY(waitForLog(process, log, "refusing new connections until some close\n"));

    open.clear();
    // Served again once descriptors are free, and said so once.
    for (int i = 0;
         i < 50 && metric(port, "zuno_http_requests_total{route=\"metrics\",code=\"2xx\"}") < 0;
         ++i)
        std::this_thread::sleep_for(20ms);
    QVERIFY(metric(port, "zuno_http_connections_refused_total") > 0);
    QVERIFY(waitForLog(process, log, "accepting connections again\n"));
    QCOMPARE(log.count("out of file descriptors"), 1);
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
        asio::io_context context;
        std::vector<std::unique_ptr<Socket>> flood;
        for (int i = 0; i < 1000; ++i) {
            flood.push_back(connectTo(context, port));
            send(*flood.back(), hostile[i % std::size(hostile)]);
            if (i % 5 == 4)
                flood.back()->shutdown(Socket::shutdown_send);  // half-closed
        }
        QVERIFY(metric(port, "zuno_http_connections_open") > 500);
        flood.clear();
        // Only the connection asking is left (the one asked before may still be closing).
        const auto settled = [&] {
            return metric(port, "process_open_fds") == descriptors &&
                metric(port, "zuno_http_connections_open") == 1;
        };
        bool back = false;
        for (int i = 0; i < 100 && !(back = settled()); ++i)
            std::this_thread::sleep_for(50ms);
        QVERIFY2(back, qPrintable(QString::number(metric(port, "process_open_fds"))));
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

QTEST_GUILESS_MAIN(TestLookupdProgram)
#include "tst_lookupd_program.moc"
