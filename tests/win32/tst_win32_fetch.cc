// SPDX-License-Identifier: Apache-2.0
// The Windows GetBody (WinHTTP and code page 936) under Wine, against a recording server here.
#include "http_test_server.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

Q_DECLARE_METATYPE(zuno::test::Reply)

namespace {

// What zuno-fetch printed: kind, length and the first code units (or bytes) in hex.
struct Fetched {
    QByteArray kind;
    qsizetype length = -1;
    QByteArray hex;
    qint64 milliseconds = 0;
};

Fetched fetchUnderWine(const QString &url, const QString &coding = u"GB2312"_s,
                       int timeLimit = 10'000)
{
    QProcess wine;
    QElapsedTimer clock;
    clock.start();
    wine.start(u"wine"_s,
               {QString::fromUtf8(ZUNO_FETCH_EXE), url, coding, QString::number(timeLimit)});
    // The server answers on this thread, so the wait must keep its event loop turning.
    while (wine.state() != QProcess::NotRunning && clock.elapsed() < timeLimit + 20'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        wine.waitForFinished(10);
    }
    Fetched fetched;
    fetched.milliseconds = clock.elapsed();
    const QList<QByteArray> words = wine.readAllStandardOutput().trimmed().split(' ');
    if (words.size() < 3)
        return fetched;
    fetched.kind = words[0];
    fetched.length = words[1].toLongLong();
    fetched.hex = words.mid(2).join(' ');
    return fetched;
}

QByteArray unitsOf(const QString &text)
{
    QByteArrayList units;
    for (const QChar c : text.left(64))
        units.append(QByteArray::number(c.unicode(), 16).toUpper().rightJustified(4, '0'));
    return units.isEmpty() ? QByteArray("-") : units.join(' ');
}

}  // namespace

class TestWin32Fetch : public QObject
{
    Q_OBJECT

private slots:
    void init() { server_ = std::make_unique<HttpTestServer>(); }

    void shouldSendOneConditionalGetAndReturnTheBodyAsText_data();
    void shouldSendOneConditionalGetAndReturnTheBodyAsText();
    void shouldReturnTheBytesWhenTheCharsetIsRefused();
    void shouldReturnNothingWhenNoResponseArrives_data();
    void shouldReturnNothingWhenNoResponseArrives();
    void shouldGiveUpAtTheTimeLimit_data();
    void shouldGiveUpAtTheTimeLimit();
    void shouldFollowRedirectsUpToTheLimit();
    void shouldRefuseABodyOverEightMebibytes();

private:
    std::unique_ptr<HttpTestServer> server_;
};

void TestWin32Fetch::shouldSendOneConditionalGetAndReturnTheBodyAsText_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("expected");
    QTest::newRow("reply with CRLF, 0x80 and a GBK-only character")
        << Reply::text("13800138000 \x80\xe9\x46\xb1\xb1\xbe\xa9\r\n")
        << u"13800138000 €镕北京\r\n"_s;
    QTest::newRow("invalid bytes") << Reply::text("1\xff"
                                                  "2\x81 3\xb1")
                                   << u"1\uFFFD2\uFFFD 3\uFFFD"_s;
    QTest::newRow("empty body") << Reply::text({}) << QString();
    for (int status : {403, 404, 500})
        QTest::addRow("status %d", status)
            << Reply::text("<p>\xb1\xb1</p>", status) << u"<p>北</p>"_s;
}

// Twice, to see that nothing is cached and the header goes out each time.
void TestWin32Fetch::shouldSendOneConditionalGetAndReturnTheBodyAsText()
{
    QFETCH(Reply, reply);
    QFETCH(QString, expected);
    server_->setReply(reply);
    const QString url = server_->url(u"/iii.asp?title=13800138000"_s);
    for (int call = 1; call <= 2; ++call) {
        const Fetched fetched = fetchUnderWine(url);
        QCOMPARE(fetched.kind, QByteArray("text"));
        QCOMPARE(fetched.length, expected.size());
        QCOMPARE(fetched.hex, unitsOf(expected));
    }
    QCOMPARE(server_->requests().size(), 2);
    for (const zuno::test::RecordedRequest &request : server_->requests()) {
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/iii.asp?title=13800138000"));
        QCOMPARE(request.headerValues("If-Modified-Since"), QList<QByteArray>{"0"});
        QVERIFY(request.headerValues("Authorization").isEmpty());
        QVERIFY(request.headerValues("Cookie").isEmpty());
    }
}

void TestWin32Fetch::shouldReturnTheBytesWhenTheCharsetIsRefused()
{
    server_->setReply(Reply::text("\xb1\xb1\xbe\xa9"));
    const Fetched fetched = fetchUnderWine(server_->url(u"/"_s), u"no-such-charset"_s);
    QCOMPARE(fetched.kind, QByteArray("bytes"));
    QCOMPARE(fetched.hex, QByteArray("B1 B1 BE A9"));
}

void TestWin32Fetch::shouldReturnNothingWhenNoResponseArrives_data()
{
    QTest::addColumn<QString>("url");  // a path: on the test server, which answers with reply
    QTest::addColumn<Reply>("reply");

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    QTest::newRow("connection refused") << u"http://127.0.0.1:%1/"_s.arg(closedPort) << Reply();
    QTest::newRow("host that does not resolve") << u"http://zuno-lookup.invalid/"_s << Reply();
    QTest::newRow("closed without an answer") << u"/"_s << Reply::closeWithoutAnswer();
    QTest::newRow("not a url") << u"::not a url::"_s << Reply();
    QTest::newRow("https, which is not followed") << u"https://127.0.0.1:1/"_s << Reply();
    for (const char *url :
         {"file:///etc/hostname", "file://localhost/C:/windows/win.ini",
          "data:text/plain,0123456789abc", "ftp://127.0.0.1/x", "https://127.0.0.1/"}) {
        QTest::addRow("%s", url) << QString::fromLatin1(url) << Reply();
        QTest::addRow("redirect to %s", url)
            << u"/"_s << Reply::redirect(url, "redirect page long enough to show");
    }
}

void TestWin32Fetch::shouldReturnNothingWhenNoResponseArrives()
{
    QFETCH(QString, url);
    QFETCH(Reply, reply);
    server_->setReply(reply);
    const Fetched fetched = fetchUnderWine(url.startsWith(u'/') ? server_->url(url) : url);
    QCOMPARE(fetched.length, 0);
}

void TestWin32Fetch::shouldGiveUpAtTheTimeLimit_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::newRow("silent server") << Reply::neverAnswer();
    // A byte every 20 ms keeps any per-read timeout from ever firing.
    QTest::newRow("trickling server") << Reply::trickle();
}

void TestWin32Fetch::shouldGiveUpAtTheTimeLimit()
{
    QFETCH(Reply, reply);
    server_->setReply(reply);
    const Fetched fetched = fetchUnderWine(server_->url(u"/"_s), u"GB2312"_s, 2'000);
    QCOMPARE(fetched.length, 0);
    // Wine's own start takes a moment on top of the limit.
    QVERIFY2(fetched.milliseconds >= 2'000 && fetched.milliseconds < 8'000,
             qPrintable(QString::number(fetched.milliseconds)));
    QCOMPARE(server_->requests().size(), 1);
}

void TestWin32Fetch::shouldFollowRedirectsUpToTheLimit()
{
    const auto hop = [](int n) { return "/hop" + QByteArray::number(n); };
    for (int n = 0; n < 11; ++n)
        server_->setReply(hop(n), Reply::redirect(n % 2 ? hop(n + 1) : hop(n + 1).mid(1)));
    server_->setReply(hop(11), Reply::text("arrived after the hops"));
    // One hop and ten arrive, by absolute and relative paths; eleven do not.
    QCOMPARE(fetchUnderWine(server_->url(u"/hop10"_s)).hex, unitsOf(u"arrived after the hops"_s));
    QCOMPARE(fetchUnderWine(server_->url(u"/hop1"_s)).hex, unitsOf(u"arrived after the hops"_s));
    QCOMPARE(fetchUnderWine(server_->url(u"/hop0"_s)).length, 0);
    QCOMPARE(server_->requests().size(), 2 + 11 + 11);
}

void TestWin32Fetch::shouldRefuseABodyOverEightMebibytes()
{
    constexpr qsizetype limit = 8 * 1024 * 1024;
    server_->setReply(Reply::text(QByteArray(limit, 'a')));
    QCOMPARE(fetchUnderWine(server_->url(u"/"_s)).length, limit);
    server_->setReply(Reply::text(QByteArray(limit + 1, 'a')));
    QCOMPARE(fetchUnderWine(server_->url(u"/"_s)).length, 0);
}

QTEST_GUILESS_MAIN(TestWin32Fetch)
#include "tst_win32_fetch.moc"
