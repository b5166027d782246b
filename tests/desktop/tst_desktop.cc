#include "http_test_server.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

// The real program in a real X server: xdotool types and clicks, xclip reads the clipboard.
class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void shouldShowTheServiceReplyForATypedNumber();
    void shouldHandTheHomePageToTheDesktopLauncher();
    void shouldIgnoreQtOptionsOnItsCommandLine();

private:
    bool run(const QString &tool, const QStringList &arguments, QByteArray *output = nullptr);
    QString waitForWindowOf(const QProcess &program);
    void startProgram(QProcess &program, const QString &path, const QStringList &arguments);
    QString copyOfResultBox();

    QProcess xvfb_;
    QProcessEnvironment environment_;
    QTemporaryDir fakeDesktop_;
    HttpTestServer server_;
    QProcess program_;
    QString window_;
};

bool TestDesktop::run(const QString &tool, const QStringList &arguments, QByteArray *output)
{
    QProcess process;  // kills, on the way out, a tool that has not finished
    process.setProcessEnvironment(environment_);
    process.start(tool, arguments);
    const bool finished = process.waitForFinished(5'000);
    if (output)
        *output = process.readAllStandardOutput();
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString TestDesktop::waitForWindowOf(const QProcess &program)
{
    QByteArray found;
    if (!run(u"xdotool"_s,
             {u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--pid"_s,
              QString::number(program.processId())},
             &found))
        return {};
    return QString::fromLatin1(found.split('\n').first());
}

void TestDesktop::startProgram(QProcess &program, const QString &path, const QStringList &arguments)
{
    program.setProcessEnvironment(environment_);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(path, arguments);
}

void TestDesktop::initTestCase()
{
    // -displayfd makes Xvfb take a free display number and tell it on that descriptor.
    xvfb_.start(
        u"Xvfb"_s,
        {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s, u"-screen"_s, u"0"_s, u"640x480x24"_s});
    QVERIFY2(xvfb_.waitForStarted(), "Xvfb not found");
    QTRY_VERIFY_WITH_TIMEOUT(xvfb_.canReadLine(), 15'000);
    const QString display = u":"_s + QString::fromLatin1(xvfb_.readLine().trimmed());

    // The desktop's launcher, xdg-open, is a script that notes what it was asked to open.
    QVERIFY(fakeDesktop_.isValid());
    QFile xdgOpen(fakeDesktop_.filePath(u"xdg-open"_s));
    QVERIFY(xdgOpen.open(QIODevice::WriteOnly));
    xdgOpen.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$(dirname \"$0\")/opened\"\n");
    xdgOpen.close();
    QVERIFY(xdgOpen.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    environment_ = QProcessEnvironment::systemEnvironment();
    environment_.insert(u"DISPLAY"_s, display);
    environment_.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    environment_.insert(u"PATH"_s, fakeDesktop_.path() + u':' + environment_.value(u"PATH"_s));
    environment_.remove(u"WAYLAND_DISPLAY"_s);

    startProgram(program_, QStringLiteral(ZUNO_LOOKUP_AT), {server_.hostAndPort()});
    window_ = waitForWindowOf(program_);
    QVERIFY2(!window_.isEmpty(), "the window did not show");
    QVERIFY(run(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, window_}));
}

void TestDesktop::cleanupTestCase()
{
    for (QProcess *process : {&program_, &xvfb_}) {
        process->terminate();
        if (!process->waitForFinished(5'000)) {
            process->kill();
            process->waitForFinished();
        }
    }
}

// Type into the result box, which must not take it, then select all of it and copy it; what the
// clipboard then holds, as text.
QString TestDesktop::copyOfResultBox()
{
    QByteArray copied;
    run(u"xdotool"_s,
        {u"mousemove"_s, u"--window"_s, window_, u"150"_s, u"120"_s, u"click"_s, u"1"_s, u"key"_s,
         u"x"_s, u"ctrl+a"_s, u"ctrl+c"_s});
    run(u"xclip"_s, {u"-o"_s, u"-selection"_s, u"clipboard"_s, u"-t"_s, u"UTF8_STRING"_s}, &copied);
    return QString::fromUtf8(copied);
}

void TestDesktop::shouldShowTheServiceReplyForATypedNumber()
{
    server_.setReply(Reply::text("13800138000 \xb1\xb1\xbe\xa9 \xd2\xc6\xb6\xaf"));  // 北京 移动

    QVERIFY(run(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"30"_s, u"13800138000"_s}));
    QVERIFY(run(u"xdotool"_s,
                {u"mousemove"_s, u"--window"_s, window_, u"240"_s, u"60"_s, u"click"_s, u"1"_s}));

    QTRY_COMPARE_WITH_TIMEOUT(server_.requests().size(), 1, 15'000);
    QCOMPARE(server_.requests().first().target, "/iii.asp?title=13800138000");
    QTRY_COMPARE_WITH_TIMEOUT(copyOfResultBox(), u"13800138000 北京 移动"_s, 15'000);
}

void TestDesktop::shouldHandTheHomePageToTheDesktopLauncher()
{
    QVERIFY(run(u"xdotool"_s,
                {u"mousemove"_s, u"--window"_s, window_, u"40"_s, u"196"_s, u"click"_s, u"1"_s}));

    QFile opened(fakeDesktop_.filePath(u"opened"_s));
    QTRY_VERIFY_WITH_TIMEOUT(opened.exists(), 15'000);
    QVERIFY(opened.open(QIODevice::ReadOnly));
    QCOMPARE(opened.readAll(), u"http://%1\n"_s.arg(server_.hostAndPort()).toLatin1());
}

void TestDesktop::shouldIgnoreQtOptionsOnItsCommandLine()
{
    // Qt would give up at once on a platform or a display that does not exist.
    QProcess program;
    startProgram(program, QStringLiteral(ZUNO_LOOKUP),
                 {u"-platform"_s, u"no-such-platform"_s, u"-display"_s, u":9999"_s, u"-reverse"_s});
    const bool shown = !waitForWindowOf(program).isEmpty();
    program.kill();
    program.waitForFinished();
    QVERIFY(shown);
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
