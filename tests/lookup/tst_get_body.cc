#include "get_body.h"

#include "http_test_server.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;
using zuno::FetchCancel;
using zuno::FetchedValue;
using zuno::FetchOptions;
using zuno::GetBody;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

Q_DECLARE_METATYPE(zuno::test::Reply)

const QByteArray kBeijingGbk("\xb1\xb1\xbe\xa9\xca\xd0");  // 北京市

class TestGetBody : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // What goes out and what comes back
    void shouldSendOneConditionalGetAndReturnTheBodyAsGbkText_data();
    void shouldSendOneConditionalGetAndReturnTheBodyAsGbkText();
    void shouldReturnTheBytesWhenTheCharsetIsUnknown();

    // No response
    void shouldReturnNothingWhenNoResponseArrives_data();
    void shouldReturnNothingWhenNoResponseArrives();

    // Limits
    void shouldGiveUpAtTheTimeLimitOrWhenCancelled_data();
    void shouldGiveUpAtTheTimeLimitOrWhenCancelled();
    void shouldFollowRedirectsUpToTheLimit_data();
    void shouldFollowRedirectsUpToTheLimit();
    void shouldRefuseABodyOverEightMebibytes();

private:
    std::unique_ptr<HttpTestServer> server_;
};

void TestGetBody::init() { server_ = std::make_unique<HttpTestServer>(); }

void TestGetBody::shouldSendOneConditionalGetAndReturnTheBodyAsGbkText_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("expected");

    QTest::newRow("reply with CRLF and a GBK-only character")
        << Reply::text("13800138000 \xe9\x46" + kBeijingGbk + "\r\n")
        << u"13800138000 镕北京市\r\n"_s;
    QTest::newRow("empty body") << Reply::text(QByteArray()) << QString();
    Reply compressed = Reply::text(kBeijingGbk.repeated(100));
    compressed.deflate = true;
    QTest::newRow("compressed body") << compressed << u"北京市"_s.repeated(100);
    // The status code is not looked at: an error page is a body like any other
    for (int status : {403, 404, 500}) {
        QTest::addRow("status %d", status)
            << Reply::text("<html>" + kBeijingGbk + "</html>", status) << u"<html>北京市</html>"_s;
    }
}

// Without a charset, GB2312 is read as GBK. Asked twice, it goes out twice: nothing is cached.
void TestGetBody::shouldSendOneConditionalGetAndReturnTheBodyAsGbkText()
{
    QFETCH(Reply, reply);
    QFETCH(QString, expected);
    server_->setReply(reply);
    const QString url = server_->url(u"/iii.asp?title=13800138000"_s);
    GetBody(url);
    const FetchedValue value = GetBody(url);
    QVERIFY(value.isText());
    QCOMPARE(value.toText(), expected);

    QCOMPARE(server_->requests().size(), 2);
    for (const zuno::test::RecordedRequest &request : server_->requests()) {
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/iii.asp?title=13800138000"));
        QCOMPARE(request.headerValues("If-Modified-Since"), QList<QByteArray>{"0"});
        QVERIFY(request.headerValues("Authorization").isEmpty());
        QVERIFY(request.headerValues("Cookie").isEmpty());
    }
}

void TestGetBody::shouldReturnTheBytesWhenTheCharsetIsUnknown()
{
    server_->setReply(Reply::text(kBeijingGbk));
    const FetchedValue value = GetBody(server_->url(u"/"_s), u"no-such-charset"_s);
    QVERIFY(value.isBytes());
    QCOMPARE(value.bytes(), kBeijingGbk);
}

void TestGetBody::shouldReturnNothingWhenNoResponseArrives_data()
{
    QTest::addColumn<QString>("url");  // a path: on the test server, which answers with reply
    QTest::addColumn<Reply>("reply");

    // A port that was free a moment ago: the connection is refused.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    QTest::newRow("connection refused") << u"http://127.0.0.1:%1/"_s.arg(closedPort) << Reply();
    QTest::newRow("host that does not resolve") << u"http://zuno-lookup.invalid/"_s << Reply();
    QTest::newRow("closed without an answer") << u"/"_s << Reply::closeWithoutAnswer();
    QTest::newRow("not a url") << u"::not a url::"_s << Reply();
    QTest::newRow("empty url") << QString() << Reply();

    // Schemes other than http(s), asked for or redirected to; the redirect page has a body to show
    for (const char *url :
         {"file:///etc/hostname", "data:text/plain,0123456789abc", "ftp://127.0.0.1/x"}) {
        QTest::addRow("%s", url) << QString::fromLatin1(url) << Reply();
        QTest::addRow("redirect to %s", url)
            << u"/"_s << Reply::redirect(url, "redirect page long enough to show");
    }
    // Qt reads a file URL that names a host as a local file.
    QTest::newRow("file with a host")
        << u"file://localhost"_s + QCoreApplication::applicationFilePath() << Reply();
}

void TestGetBody::shouldReturnNothingWhenNoResponseArrives()
{
    QFETCH(QString, url);
    QFETCH(Reply, reply);
    server_->setReply(reply);
    FetchOptions options;
    options.timeLimit = 10s;
    QCOMPARE(GetBody(url.startsWith(u'/') ? server_->url(url) : url, u"GB2312"_s, options).length(),
             0);
}

void TestGetBody::shouldGiveUpAtTheTimeLimitOrWhenCancelled_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<int>("cancelAfter");  // ms; -1: never, 0: before the call, which sends nothing
    QTest::addColumn<int>("atLeast");      // ms the call must wait
    QTest::newRow("silent server") << Reply::neverAnswer() << -1 << 450;
    // A byte every 20 ms keeps any per-byte inactivity timer from ever firing.
    QTest::newRow("trickling server") << Reply::trickle() << -1 << 450;
    QTest::newRow("cancelled while waiting: returns at once") << Reply::neverAnswer() << 100 << 50;
    QTest::newRow("cancelled before the call") << Reply::neverAnswer() << 0 << 0;
}

void TestGetBody::shouldGiveUpAtTheTimeLimitOrWhenCancelled()
{
    QFETCH(Reply, reply);
    QFETCH(int, cancelAfter);
    QFETCH(int, atLeast);
    server_->setReply(reply);
    FetchCancel cancel;
    if (cancelAfter == 0)
        cancel.cancel();
    else if (cancelAfter > 0)
        QTimer::singleShot(cancelAfter, &cancel, &FetchCancel::cancel);
    FetchOptions options;
    options.timeLimit = cancelAfter < 0 ? 500ms : 10s;
    options.cancel = &cancel;

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(GetBody(server_->url(u"/"_s), u"GB2312"_s, options).length(), 0);
    QVERIFY2(clock.elapsed() >= atLeast && clock.elapsed() < 5000,
             qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(50);
    QCOMPARE(server_->requests().size(), cancelAfter == 0 ? 0 : 1);
}

void TestGetBody::shouldFollowRedirectsUpToTheLimit_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one hop") << 1 << u"arrived after the hops"_s;
    QTest::newRow("ten hops") << 10 << u"arrived after the hops"_s;
    QTest::newRow("eleven hops") << 11 << QString();
}

void TestGetBody::shouldFollowRedirectsUpToTheLimit()
{
    QFETCH(int, hops);
    QFETCH(QString, expected);
    const auto hop = [](int n) { return "/hop" + QByteArray::number(n); };
    for (int n = 0; n < hops; ++n)
        server_->setReply(hop(n), Reply::redirect(hop(n + 1)));
    server_->setReply(hop(hops), Reply::text("arrived after the hops"));
    QCOMPARE(GetBody(server_->url(u"/hop0"_s)).toText(), expected);
}

void TestGetBody::shouldRefuseABodyOverEightMebibytes()
{
    constexpr qsizetype limit = 8 * 1024 * 1024;
    server_->setReply(Reply::text(QByteArray(limit, 'a')));
    QCOMPARE(GetBody(server_->url(u"/"_s)).length(), limit);

    server_->setReply(Reply::text(QByteArray(limit + 1, 'a')));
    QCOMPARE(GetBody(server_->url(u"/"_s)).length(), 0);
}

QTEST_GUILESS_MAIN(TestGetBody)
#include "tst_get_body.moc"
