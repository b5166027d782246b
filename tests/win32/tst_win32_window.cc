// SPDX-License-Identifier: Apache-2.0
// zuno-lookup.exe under Wine and Xvfb, driven by xdotool as a person would, against a recording
// server: the shared table of the window's cases, the keyboard, the link and closing. Its boxes
// and focus are read back by zuno-inspect, a Windows program of the same Wine.
#include "http_test_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

namespace {

QString unescaped(QString text)
{
    return text.replace(u"\\r"_s, u"\r"_s).replace(u"\\n"_s, u"\n"_s);
}

QString fromUnits(const QByteArray &hex)
{
    QString text;
    if (hex == "-")
        return text;
    for (const QByteArray &unit : hex.split(' '))
        text += QChar(char16_t(unit.toUShort(nullptr, 16)));
    return text;
}

}  // namespace

class TestWin32Window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void shouldShowTheWindowSoonAfterTheLinuxOne();
    void shouldRunEveryRowOfTheSharedTable();
    void shouldTabThroughThreeControlsAndStartNothingOnEnterOrEscape();
    void shouldSelectAllWithCtrlA();
    void shouldOpenTheHomePageThroughExplorerOnEveryClick();
    void shouldKeepPaintingAndCloseDuringALookup();

private:
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);
    QString inspect(const QStringList &arguments);
    QString boxText(const QString &control)
    {
        return fromUnits(inspect({u"text"_s, control}).toLatin1());
    }
    QString focus() { return inspect({u"focus"_s}); }
    // Starts the program (or the Linux one); returns its X window, empty if none showed.
    QString start(QProcess &program, const QString &path, const QStringList &arguments);
    void key(const QString &keys)
    {
        QVERIFY(run(u"xdotool"_s, {u"key"_s, u"--delay"_s, u"60"_s, keys}));
    }
    void typeText(const QString &text);
    void screenshot(const QString &name);
    QStringList launched() const;

    QProcessEnvironment environment_;
    QTemporaryDir programDir_;  // the program beside the stand-in Explorer.exe
    QString program_;
    std::unique_ptr<HttpTestServer> server_;
    QProcess window_;
    QString xWindow_;
};

bool TestWin32Window::run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.setProcessEnvironment(environment_);
    process.start(program, arguments);
    // The server answers on this thread, so the wait keeps its event loop turning.
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning && clock.elapsed() < 20'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        process.waitForFinished(10);
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString TestWin32Window::inspect(const QStringList &arguments)
{
    QByteArray output;
    run(u"wine"_s, QStringList{QString::fromUtf8(ZUNO_INSPECT_EXE)} + arguments, &output);
    return QString::fromLatin1(output.trimmed());
}

QString TestWin32Window::start(QProcess &program, const QString &path, const QStringList &arguments)
{
    program.setProcessEnvironment(environment_);
    program.start(path, arguments);
    QByteArray found;
    // Wine writes WM_NAME, which xdotool matches, in Latin-1: only the caption's ASCII is there.
    if (!run(u"xdotool"_s, {u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--name"_s, u"^ZUNO"_s},
             &found))
        return {};
    const QString window = QString::fromLatin1(found.split('\n').first());
    // No window manager here gives it the keyboard: the test does, as a click would.
    run(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, window});
    return window;
}

// ASCII is typed; other text is pasted, as xdotool cannot type it into Wine.
void TestWin32Window::typeText(const QString &text)
{
    if (text.isEmpty())
        return;
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
        QVERIFY(run(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"40"_s, text}));
        return;
    }
    QProcess clipboard;
    clipboard.setProcessEnvironment(environment_);
    clipboard.start(u"xclip"_s, {u"-selection"_s, u"clipboard"_s, u"-i"_s});
    clipboard.write(text.toUtf8());
    clipboard.closeWriteChannel();
    QVERIFY(clipboard.waitForFinished(5'000));
    key(u"ctrl+v"_s);
}

void TestWin32Window::screenshot(const QString &name)
{
    QDir().mkpath(QString::fromUtf8(ZUNO_SCREENSHOTS));
    run(u"import"_s,
        {u"-window"_s, u"root"_s, QString::fromUtf8(ZUNO_SCREENSHOTS "/") + name + u".png"_s});
}

QStringList TestWin32Window::launched() const
{
    QFile notes(programDir_.filePath(u"launched.txt"_s));
    if (!notes.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(notes.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void TestWin32Window::initTestCase()
{
    // The run's Wine has its desktop on its own display, which every Wine program shares.
    environment_ = QProcessEnvironment::systemEnvironment();
    QFile display(environment_.value(u"WINEPREFIX"_s) + u".display"_s);
    QVERIFY2(display.open(QIODevice::ReadOnly), "the run's Wine prefix has no display");
    environment_.insert(u"DISPLAY"_s, u":"_s + QString::fromLatin1(display.readAll().trimmed()));
    environment_.remove(u"WAYLAND_DISPLAY"_s);

    // The launcher finds Explorer.exe in the program's own folder first.
    QVERIFY(programDir_.isValid());
    program_ = programDir_.filePath(u"zuno-lookup-at.exe"_s);
    QVERIFY(QFile::copy(QString::fromUtf8(ZUNO_LOOKUP_AT_EXE), program_));
    QVERIFY(QFile::copy(QString::fromUtf8(ZUNO_FAKE_EXPLORER_EXE),
                        programDir_.filePath(u"Explorer.exe"_s)));
}

void TestWin32Window::init()
{
    server_ = std::make_unique<HttpTestServer>();
    xWindow_ = start(window_, u"wine"_s, {program_, server_->hostAndPort()});
    QVERIFY2(!xWindow_.isEmpty(), "the window did not show");
    QTRY_COMPARE_WITH_TIMEOUT(focus(), u"Text1"_s, 5'000);
}

void TestWin32Window::cleanup()
{
    if (window_.state() != QProcess::NotRunning) {
        run(u"xdotool"_s, {u"key"_s, u"--window"_s, xWindow_, u"alt+F4"_s});
        if (!window_.waitForFinished(5'000))
            window_.kill();
    }
    window_.waitForFinished();
    server_.reset();
}

// Start to window shown, the Windows program under Wine against the Linux one under the same
// Xvfb; both are printed, and Wine may take a few times as long but not for ever.
void TestWin32Window::shouldShowTheWindowSoonAfterTheLinuxOne()
{
    QVERIFY(run(u"xdotool"_s, {u"key"_s, u"--window"_s, xWindow_, u"alt+F4"_s}));
    QVERIFY(window_.waitForFinished(5'000));
    QElapsedTimer clock;
    qint64 wine = 0, linux = 0;
    for (const bool underWine : {true, false}) {
        QProcess program;
        clock.start();
        const QString window = underWine
            ? start(program, u"wine"_s, {program_, server_->hostAndPort()})
            : start(program, QString::fromUtf8(ZUNO_LINUX_LOOKUP_AT), {server_->hostAndPort()});
        (underWine ? wine : linux) = clock.elapsed();
        QVERIFY(!window.isEmpty());
        screenshot(underWine ? u"start-wine"_s : u"start-linux"_s);
        run(u"xdotool"_s, {u"key"_s, u"--window"_s, window, u"alt+F4"_s});
        if (!program.waitForFinished(5'000))
            program.kill();
    }
    qInfo("start to window: Wine %lld ms, Linux %lld ms, ratio %.1f", wine, linux,
          double(wine) / double(qMax<qint64>(linux, 1)));
    QVERIFY(wine < 20'000);
}

void TestWin32Window::shouldRunEveryRowOfTheSharedTable()
{
    QFile table(QString::fromUtf8(ZUNO_TEST_DATA "/window-cases.tsv"));
    QVERIFY(table.open(QIODevice::ReadOnly | QIODevice::Text));
    int rows = 0;
    while (!table.atEnd()) {
        const QString line = QString::fromUtf8(table.readLine()).chopped(1);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList columns = line.split(u'\t');
        QCOMPARE(columns.size(), 6);
        const QString name = columns[0];
        const QString typed = columns[1] == u"-"_s ? QString() : columns[1];
        const QByteArray body =
            columns[3] == u"-"_s ? QByteArray() : QByteArray::fromHex(columns[3].toLatin1());
        const QByteArray sent = columns[4] == u"-"_s ? QByteArray() : columns[4].toLatin1();
        const QString shown = unescaped(columns[5]);
        ++rows;

        server_->setReply(Reply::text(body, columns[2].toInt()));
        const qsizetype before = server_->requests().size();
        // Replace what Text1 holds with the row's text, then press 查询 from the keyboard.
        QVERIFY(
            run(u"xdotool"_s, {u"key"_s, u"--window"_s, xWindow_, u"ctrl+a"_s, u"BackSpace"_s}));
        typeText(typed);
        QCOMPARE(boxText(u"Text1"_s), typed);
        key(u"Tab"_s);
        key(u"space"_s);
        QTRY_COMPARE_WITH_TIMEOUT(server_->requests().size(), before + 1, 10'000);
        QVERIFY2(server_->requests().last().target == "/iii.asp?title=" + sent, qPrintable(name));
        QTRY_COMPARE_WITH_TIMEOUT(boxText(u"Text2"_s), shown, 10'000);
        QCOMPARE(boxText(u"Text1"_s), typed);
        if (rows == 1)
            screenshot(u"reply-wine"_s);
        key(u"shift+Tab"_s);
        QCOMPARE(focus(), u"Text1"_s);
    }
    QVERIFY(rows > 0);
}

void TestWin32Window::shouldTabThroughThreeControlsAndStartNothingOnEnterOrEscape()
{
    typeText(u"13800138000"_s);
    for (const QString &expected : {u"Command1"_s, u"Text2"_s, u"Text1"_s, u"Command1"_s}) {
        key(u"Tab"_s);
        QCOMPARE(focus(), expected);
    }
    key(u"shift+Tab"_s);
    QCOMPARE(focus(), u"Text1"_s);
    key(u"Return"_s);
    key(u"KP_Enter"_s);
    key(u"Escape"_s);
    QTest::qWait(500);
    QVERIFY(server_->requests().isEmpty());
    QCOMPARE(window_.state(), QProcess::Running);
    QCOMPARE(boxText(u"Text1"_s), u"13800138000"_s);
    QCOMPARE(boxText(u"Text2"_s), QString());
}

void TestWin32Window::shouldSelectAllWithCtrlA()
{
    typeText(u"13800138000"_s);
    key(u"ctrl+a"_s);
    typeText(u"9"_s);
    QCOMPARE(boxText(u"Text1"_s), u"9"_s);
}

// Explorer.exe "http://host", window style 2 (minimised), once a click; the boxes keep theirs.
void TestWin32Window::shouldOpenTheHomePageThroughExplorerOnEveryClick()
{
    const QStringList before = launched();
    typeText(u"13800138000"_s);
    // Label2 stands at twips (231, 2820): pixels (15, 188) of the client area at 96 dpi.
    QVERIFY(run(u"xdotool"_s,
                {u"mousemove"_s, u"--window"_s, xWindow_, u"40"_s, u"194"_s, u"click"_s,
                 u"--repeat"_s, u"2"_s, u"--delay"_s, u"400"_s, u"1"_s}));
    const QString line = u"Explorer.exe \"http://"_s + server_->hostAndPort() + u"\" | style 2"_s;
    QTRY_COMPARE_WITH_TIMEOUT(launched(), before + QStringList({line, line}), 10'000);
    QCOMPARE(boxText(u"Text1"_s), u"13800138000"_s);
    QCOMPARE(boxText(u"Text2"_s), QString());
    QVERIFY(server_->requests().isEmpty());
}

// While the service is silent the window still answers (its boxes are read, it takes typing),
// and the first close request ends the program.
void TestWin32Window::shouldKeepPaintingAndCloseDuringALookup()
{
    server_->setReply(Reply::neverAnswer());
    typeText(u"13800138000"_s);
    key(u"Tab"_s);
    key(u"space"_s);
    QTRY_COMPARE_WITH_TIMEOUT(server_->requests().size(), 1, 10'000);
    // Tab selects the whole box as it enters it; End goes past what is there.
    key(u"shift+Tab"_s);
    key(u"End"_s);
    typeText(u"1"_s);
    QCOMPARE(boxText(u"Text1"_s), u"138001380001"_s);
    screenshot(u"lookup-waiting-wine"_s);
    QElapsedTimer clock;
    clock.start();
    key(u"alt+F4"_s);
    QVERIFY2(window_.waitForFinished(5'000), "the window did not close during the lookup");
    QVERIFY(clock.elapsed() < 5'000);
    QCOMPARE(window_.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestWin32Window)
#include "tst_win32_window.moc"
