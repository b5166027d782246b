#include <zuno/version.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString kProgram = QString::fromUtf8(ZUNO_LOOKUPD_PATH);
constexpr int kExitUsage = 2;

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
// not.
quint16 startListening(QProcess &process, QStringList arguments)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setReadChannel(QProcess::StandardError);
    process.start(kProgram, arguments << u"--listen"_s << u"127.0.0.1:0"_s);
    if (!process.waitForStarted())
        return 0;
    QByteArray said;
    while (!said.contains("/\n") && process.waitForReadyRead(10'000))
        said += process.readAllStandardError();
    const auto match = QRegularExpression(u"listening on http://127\\.0\\.0\\.1:(\\d+)/\n"_s)
                           .match(QString::fromUtf8(said));
    return match.hasMatch() ? match.captured(1).toUShort() : 0;
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
    const QString log = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(log.contains(u"127.0.0.1 \"GET /iii.asp?title=110 HTTP/1.1\" 200 "_s), accessLog);
    QCOMPARE(log.contains(u"127.0.0.1 \"GET /nowhere HTTP/1.1\" 404 "_s), accessLog);
    QCOMPARE(log.count(u'\n'), accessLog ? 2 : 0);
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestLookupdProgram)
#include "tst_lookupd_program.moc"
