// SPDX-License-Identifier: Apache-2.0
#include "http_test_server.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

Q_DECLARE_METATYPE(zuno::test::Reply)

// The real program in a real X server: xdotool types and clicks, xclip reads the clipboard, xprop
// the window's icons.
class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // Closing
    void shouldEndAtTheFirstCloseRequestWhateverCameBefore_data();
    void shouldEndAtTheFirstCloseRequestWhateverCameBefore();

private:
    bool run(const QString &tool, const QStringList &arguments, QByteArray *output = nullptr);
    QString waitForWindowOf(const QProcess &program);
    QString copyOfResultBox(const QString &window);
    QStringList launched() const;
    xcb_atom_t atom(const char *name);
    void requestClose(const QString &window);

    QProcess xvfb_;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x11_{nullptr, xcb_disconnect};
    QProcessEnvironment environment_;
    QTemporaryDir fakeDesktop_;
    HttpTestServer server_;
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
    environment_.insert(u"XDG_RUNTIME_DIR"_s, fakeDesktop_.path());

    x11_.reset(xcb_connect(display.toLatin1().constData(), nullptr));
    QVERIFY(xcb_connection_has_error(x11_.get()) == 0);
}

void TestDesktop::cleanupTestCase()
{
    x11_.reset();
    xvfb_.terminate();
    if (!xvfb_.waitForFinished(5'000))
        xvfb_.kill();
    xvfb_.waitForFinished();
}

// Type into the result box, which must not take it, then select all of it and copy it; what the
// clipboard then holds, as text.
QString TestDesktop::copyOfResultBox(const QString &window)
{
    QByteArray copied;
    run(u"xdotool"_s,
        {u"mousemove"_s, u"--window"_s, window, u"150"_s, u"120"_s, u"click"_s, u"1"_s, u"key"_s,
         u"x"_s, u"ctrl+a"_s, u"ctrl+c"_s});
    run(u"xclip"_s, {u"-o"_s, u"-selection"_s, u"clipboard"_s, u"-t"_s, u"UTF8_STRING"_s}, &copied);
    return QString::fromUtf8(copied);
}

// What the desktop's launcher was asked to open so far, one line a request.
QStringList TestDesktop::launched() const
{
    QFile opened(fakeDesktop_.filePath(u"opened"_s));
    if (!opened.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(opened.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

xcb_atom_t TestDesktop::atom(const char *name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(x11_.get(), false, qstrlen(name), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(x11_.get(), cookie, nullptr), std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// What a window manager sends for the close box: WM_DELETE_WINDOW at CurrentTime. The reply to a
// later request proves the server delivered it: a client that leaves at once may lose it.
void TestDesktop::requestClose(const QString &window)
{
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window.toUInt();
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x11_.get(), false, message.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char *>(&message));
    std::free(xcb_get_input_focus_reply(x11_.get(), xcb_get_input_focus(x11_.get()), nullptr));
}

// The program as a test harness drives it: odd arguments (Qt's own would give up at once on a
// platform or display that does not exist), a number typed, a lookup against each kind of
// service, the result box copied, the link clicked twice, the icon read; then one close request,
// which must end it within 2 s. Each click hands the home page to the desktop's launcher. Each row
// a fresh program, the rows repeated so that a fault that strikes one start in eight shows.
void TestDesktop::shouldEndAtTheFirstCloseRequestWhateverCameBefore_data()
{
    const QByteArray beijing = "13800138000 \xb1\xb1\xbe\xa9 \xd2\xc6\xb6\xaf";  // 北京 移动
    Reply slow = Reply::text(beijing);
    slow.delay = 700ms;
    // Bytes that are no GB2312, control characters, a NUL and markup.
    static const char hostileBytes[] = "<script>\xff\xfe\x00\x1b[2J\r\n\xa1</script>";
    const Reply hostile =
        Reply::text(QByteArray(hostileBytes, sizeof hostileBytes - 1).repeated(64));
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("shown");  // null: the close comes while the lookup waits

    for (int round = 1; round <= 5; ++round) {
        QTest::addRow("normal reply, round %d", round)
            << Reply::text(beijing) << u"13800138000 北京 移动"_s;
        QTest::addRow("slow reply, round %d", round) << slow << u"13800138000 北京 移动"_s;
        QTest::addRow("hostile reply, round %d", round) << hostile << u""_s;
        QTest::addRow("empty reply, round %d", round) << Reply::text({}) << u"连接网络失败!"_s;
        QTest::addRow("no reply, closed while waiting, round %d", round)
            << Reply::neverAnswer() << QString();
    }
}

void TestDesktop::shouldEndAtTheFirstCloseRequestWhateverCameBefore()
{
    QFETCH(Reply, reply);
    QFETCH(QString, shown);
    server_.setReply(reply);
    const qsizetype requestsBefore = server_.requests().size();
    const QString home = u"http://"_s + server_.hostAndPort();
    const QStringList launchedBefore = launched();

    QProcess program;
    program.setProcessEnvironment(environment_);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QString::fromUtf8(ZUNO_LOOKUP_AT),
                  {server_.hostAndPort(), u"-platform"_s, u"no-such-platform"_s, u"-display"_s,
                   u":9999"_s, u"-reverse"_s, u"--unknown-option"_s, u"13900000000"_s});
    const QString window = waitForWindowOf(program);
    QVERIFY2(!window.isEmpty(), "the window did not show");
    QVERIFY(run(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, window}));
    QVERIFY(run(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"10"_s, u"13800138000"_s}));
    QVERIFY(run(u"xdotool"_s,
                {u"mousemove"_s, u"--window"_s, window, u"240"_s, u"60"_s, u"click"_s, u"1"_s}));
    QTRY_COMPARE_WITH_TIMEOUT(server_.requests().size(), requestsBefore + 1, 10'000);

    if (!shown.isNull()) {
        if (shown.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(!copyOfResultBox(window).isEmpty(), 10'000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(copyOfResultBox(window), shown, 10'000);
        QVERIFY(run(u"xdotool"_s,
                    {u"mousemove"_s, u"--window"_s, window, u"40"_s, u"196"_s, u"click"_s,
                     u"--repeat"_s, u"2"_s, u"--delay"_s, u"200"_s, u"1"_s}));
        QByteArray icons;
        QVERIFY(run(u"xprop"_s, {u"-len"_s, u"1000000"_s, u"-id"_s, window, u"_NET_WM_ICON"_s},
                    &icons));
        QVERIFY(icons.contains("Icon (48 x 48):") && icons.contains("Icon (256 x 256):"));
    }

    requestClose(window);
    QVERIFY2(program.waitForFinished(2'000), "the first close request did not end the program");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    if (!shown.isNull())
        QTRY_COMPARE_WITH_TIMEOUT(launched(), launchedBefore + QStringList({home, home}), 5'000);
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
