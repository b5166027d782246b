#include "lookup/get_body.h"

#include "http_test_server.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace std::chrono_literals;
using zuno::FetchCancel;
using zuno::FetchedValue;
using zuno::FetchOptions;
using zuno::GetBody;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

namespace {

const QByteArray kBeijingGbk("\xb1\xb1\xbe\xa9\xca\xd0");  // 北京市

FetchOptions withTimeLimit(std::chrono::milliseconds limit)
{
    FetchOptions options;
    options.timeLimit = limit;
    return options;
}

}  // namespace

class TestGetBody : public QObject {
    Q_OBJECT

private slots:
    void init();

    // What comes back
    void shouldReturnTheBodyAsText();
    void shouldDecodeAsGb2312WhenNoCharsetIsGiven();
    void shouldReturnTheBodyOfAnErrorStatus_data();
    void shouldReturnTheBodyOfAnErrorStatus();
    void shouldReturnEmptyTextForAnEmptyBody();
    void shouldReturnTheBytesWhenTheCharsetIsUnknown();
    void shouldDecompressAGzipBody();

    // What goes out
    void shouldSendOneGetWithIfModifiedSinceOnEveryRequest();

    // No response
    void shouldReturnNothingWhenNoResponseArrives_data();
    void shouldReturnNothingWhenNoResponseArrives();
    void shouldRefuseSchemesOtherThanHttp_data();
    void shouldRefuseSchemesOtherThanHttp();

    // Limits
    void shouldGiveUpOnASilentServerAtTheTimeLimit();
    void shouldGiveUpOnATricklingServerAtTheTimeLimit();
    void shouldFollowRedirectsUpToTheLimit_data();
    void shouldFollowRedirectsUpToTheLimit();
    void shouldRefuseARedirectToAnotherScheme_data();
    void shouldRefuseARedirectToAnotherScheme();
    void shouldRefuseABodyOverEightMebibytes();

    // Cancellation
    void shouldReturnAtOnceWhenCancelledWhileWaiting();
    void shouldNotSendWhenAlreadyCancelled();

private:
    std::unique_ptr<HttpTestServer> server_;
};

void TestGetBody::init()
{
    server_ = std::make_unique<HttpTestServer>();
}

void TestGetBody::shouldReturnTheBodyAsText()
{
    server_->setReply(Reply::text("13800138000 " + kBeijingGbk + "\r\n"));
    const FetchedValue value = GetBody(server_->url(u"/iii.asp?title=13800138000"_qs), u"GB2312"_qs);
    QVERIFY(value.isText());
    QCOMPARE(value.toText(), u"13800138000 北京市\r\n"_qs);
}

void TestGetBody::shouldDecodeAsGb2312WhenNoCharsetIsGiven()
{
    server_->setReply(Reply::text(QByteArray("\xe9\x46") + kBeijingGbk));
    QCOMPARE(GetBody(server_->url(u"/"_qs)).toText(), u"镕北京市"_qs);
}

void TestGetBody::shouldReturnTheBodyOfAnErrorStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("404") << 404;
    QTest::newRow("500") << 500;
    QTest::newRow("403") << 403;
}

void TestGetBody::shouldReturnTheBodyOfAnErrorStatus()
{
    QFETCH(int, status);
    server_->setReply(Reply::text("<html>" + kBeijingGbk + " not here</html>", status));
    QCOMPARE(GetBody(server_->url(u"/missing"_qs), u"GB2312"_qs).toText(),
             u"<html>北京市 not here</html>"_qs);
}

void TestGetBody::shouldReturnEmptyTextForAnEmptyBody()
{
    server_->setReply(Reply::text(QByteArray()));
    const FetchedValue value = GetBody(server_->url(u"/"_qs), u"GB2312"_qs);
    QCOMPARE(value.length(), 0);
    QCOMPARE(server_->requests().size(), 1);
}

void TestGetBody::shouldReturnTheBytesWhenTheCharsetIsUnknown()
{
    server_->setReply(Reply::text(kBeijingGbk));
    const FetchedValue value = GetBody(server_->url(u"/"_qs), u"no-such-charset"_qs);
    QVERIFY(value.isBytes());
    QCOMPARE(value.bytes(), kBeijingGbk);
}

void TestGetBody::shouldDecompressAGzipBody()
{
    Reply reply = Reply::text(kBeijingGbk.repeated(100));
    reply.gzip = true;
    server_->setReply(reply);
    QCOMPARE(GetBody(server_->url(u"/"_qs)).toText(), u"北京市"_qs.repeated(100));
}

void TestGetBody::shouldSendOneGetWithIfModifiedSinceOnEveryRequest()
{
    server_->setReply(Reply::text("0123456789"));
    const QString url = server_->url(u"/iii.asp?title=13800138000"_qs);
    GetBody(url);
    GetBody(url);

    QCOMPARE(server_->requests().size(), 2);
    for (const zuno::test::RecordedRequest &request : server_->requests()) {
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/iii.asp?title=13800138000"));
        QCOMPARE(request.headerValues("If-Modified-Since"), QList<QByteArray>{"0"});
        QVERIFY(request.headerValues("Authorization").isEmpty());
        QVERIFY(request.headerValues("Cookie").isEmpty());
    }
}

void TestGetBody::shouldReturnNothingWhenNoResponseArrives_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("closeWithoutAnswer");

    // A port that was free a moment ago: the connection is refused.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    QTest::newRow("connection refused")
        << QStringLiteral("http://127.0.0.1:%1/").arg(closedPort) << false;
    QTest::newRow("host that does not resolve") << u"http://zuno-lookup.invalid/"_qs << false;
    QTest::newRow("closed without an answer") << QString() << true;
    QTest::newRow("not a url") << u"::not a url::"_qs << false;
    QTest::newRow("empty url") << QString() << false;
}

void TestGetBody::shouldReturnNothingWhenNoResponseArrives()
{
    QFETCH(QString, url);
    QFETCH(bool, closeWithoutAnswer);
    if (closeWithoutAnswer) {
        server_->setReply(Reply::closeWithoutAnswer());
        url = server_->url(u"/"_qs);
    }
    QCOMPARE(GetBody(url, u"GB2312"_qs, withTimeLimit(10s)).length(), 0);
}

void TestGetBody::shouldRefuseSchemesOtherThanHttp_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("file") << u"file:///etc/hostname"_qs;
    QTest::newRow("data") << u"data:text/plain,0123456789abc"_qs;
    QTest::newRow("ftp") << u"ftp://127.0.0.1/"_qs;
}

void TestGetBody::shouldRefuseSchemesOtherThanHttp()
{
    QFETCH(QString, url);
    QCOMPARE(GetBody(url).length(), 0);
}

void TestGetBody::shouldGiveUpOnASilentServerAtTheTimeLimit()
{
    server_->setReply(Reply::neverAnswer());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(GetBody(server_->url(u"/"_qs), u"GB2312"_qs, withTimeLimit(300ms)).length(), 0);
    QVERIFY2(clock.elapsed() >= 250 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

void TestGetBody::shouldGiveUpOnATricklingServerAtTheTimeLimit()
{
    // A byte every 20 ms keeps any per-byte inactivity timer from ever firing.
    server_->setReply(Reply::trickle(20ms));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(GetBody(server_->url(u"/"_qs), u"GB2312"_qs, withTimeLimit(500ms)).length(), 0);
    QVERIFY2(clock.elapsed() >= 450 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

void TestGetBody::shouldFollowRedirectsUpToTheLimit_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one hop") << 1 << u"arrived after the hops"_qs;
    QTest::newRow("nine hops") << 9 << u"arrived after the hops"_qs;
    QTest::newRow("ten hops") << 10 << u"arrived after the hops"_qs;
    QTest::newRow("eleven hops") << 11 << QString();
}

void TestGetBody::shouldFollowRedirectsUpToTheLimit()
{
    QFETCH(int, hops);
    QFETCH(QString, expected);
    for (int hop = 0; hop < hops; ++hop) {
        server_->setReply("/hop" + QByteArray::number(hop),
                          Reply::redirect("/hop" + QByteArray::number(hop + 1)));
    }
    server_->setReply("/hop" + QByteArray::number(hops), Reply::text("arrived after the hops"));
    QCOMPARE(GetBody(server_->url(u"/hop0"_qs)).toText(), expected);
}

void TestGetBody::shouldRefuseARedirectToAnotherScheme_data()
{
    QTest::addColumn<QByteArray>("location");
    QTest::newRow("file") << QByteArray("file:///etc/hostname");
    QTest::newRow("ftp") << QByteArray("ftp://127.0.0.1/x");
    QTest::newRow("data") << QByteArray("data:text/plain,0123456789abc");
}

void TestGetBody::shouldRefuseARedirectToAnotherScheme()
{
    QFETCH(QByteArray, location);
    Reply reply = Reply::redirect(location);
    reply.body = "redirect page long enough to show";
    server_->setReply(reply);
    QCOMPARE(GetBody(server_->url(u"/"_qs)).length(), 0);
}

void TestGetBody::shouldRefuseABodyOverEightMebibytes()
{
    constexpr qsizetype limit = 8 * 1024 * 1024;
    server_->setReply(Reply::text(QByteArray(limit, 'a')));
    QCOMPARE(GetBody(server_->url(u"/"_qs)).length(), limit);

    server_->setReply(Reply::text(QByteArray(limit + 1, 'a')));
    QCOMPARE(GetBody(server_->url(u"/"_qs)).length(), 0);
}

void TestGetBody::shouldReturnAtOnceWhenCancelledWhileWaiting()
{
    server_->setReply(Reply::neverAnswer());
    FetchCancel cancel;
    FetchOptions options;
    options.cancel = &cancel;
    QTimer::singleShot(100ms, &cancel, &FetchCancel::cancel);

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(GetBody(server_->url(u"/"_qs), u"GB2312"_qs, options).length(), 0);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
}

void TestGetBody::shouldNotSendWhenAlreadyCancelled()
{
    server_->setReply(Reply::text("0123456789"));
    FetchCancel cancel;
    cancel.cancel();
    FetchOptions options;
    options.cancel = &cancel;
    QCOMPARE(GetBody(server_->url(u"/"_qs), u"GB2312"_qs, options).length(), 0);
    QTest::qWait(50);
    QVERIFY(server_->requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestGetBody)
#include "tst_get_body.moc"
