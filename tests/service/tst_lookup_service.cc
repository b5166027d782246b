#include "in_process_server.h"

#include "get_body.h"
#include "raw_http.h"

#include <boost/asio/write.hpp>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace asio = boost::asio;

// Larger than a socket's largest send buffer, so that a reader that stops stalls the server.
constexpr qsizetype kLargeFileSize = 16 * 1024 * 1024;

class TestLookupService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { server_.reset(); }

    // The reply, through the window's own client and on the wire
    void shouldAnswerTheWindowsClientInGbkWithCrlfLines();
    void shouldAnswerHeadWithTheHeaderOfGetAndNoBody();

    // Refusals and limits
    void shouldRefuseWhatItDoesNotServe_data();
    void shouldRefuseWhatItDoesNotServe();
    void shouldCloseIdleAndTricklingConnectionsAtTheDeadline();
    void shouldAcceptEveryRequestLineFormItMust_data();
    void shouldAcceptEveryRequestLineFormItMust();
    void shouldCutAClientThatKeepsSendingAfterItsLastAnswer();
    void shouldSendToASlowReaderAsLongAsItProgresses();

    // The process's own endpoints
    void shouldCountRequestsAndLookupsInPrometheusText();

private:
    QString lookupUrl(const QString &typed) const
    {
        return u"http://127.0.0.1:%1/iii.asp?title="_s.arg(port_) + typed;
    }
    // A GET that asks the server to close once it has answered.
    RawResponse get(const std::string &target) const { return rawGet(port_, target); }

    QTemporaryDir downloads_;
    std::unique_ptr<zuno::service::Site> site_;
    std::unique_ptr<zuno::service::Server> server_;
    unsigned short port_ = 0;
};

void TestLookupService::initTestCase()
{
    QVERIFY(downloads_.isValid());
    QFile large(QDir(downloads_.path()).filePath(u"large.bin"_s));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(kLargeFileSize));
    large.close();
    site_ = std::make_unique<zuno::service::Site>(
        zuno::service::DownloadFolder(downloads_.path().toStdString()));
    server_ = startServer(*site_);
    port_ = server_->localEndpoint().port();
}

// The window's client reads the reply as GB2312 (an ICU table, not the service's own codec).
void TestLookupService::shouldAnswerTheWindowsClientInGbkWithCrlfLines()
{
    const QString mobile = u"号码：138 0013 8000 手机号码\r\n归属地：北京市\r\n运营商：中国移动 区号：010"_s;
    QCOMPARE(zuno::GetBody(lookupUrl(u"13800138000"_s)).toText(), mobile);
    QCOMPARE(zuno::GetBody(lookupUrl(u"＋８６－１３８－００１３－８０００"_s)).toText(), mobile);
    QCOMPARE(zuno::GetBody(lookupUrl(u"(0755)12345678"_s)).toText(),
             u"号码：0755 1234 5678 固定电话\r\n归属地：广东省深圳市\r\n区号：0755"_s);
}

void TestLookupService::shouldAnswerHeadWithTheHeaderOfGetAndNoBody()
{
    const std::string target = "/iii.asp?title=010-12345678";
    const auto get = this->get(target);
    // HEAD, then GET on the same connection: the GET's answer must follow the HEAD's header.
    const auto head = rawExchange(port_,
                                  "HEAD " + target +
                                      " HTTP/1.1\r\nHost: x\r\n\r\n"
                                      "GET " +
                                      target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(head.status, 200);
    QCOMPARE(head.header("Content-Length"), std::to_string(get.rest.size()));
    QCOMPARE(head.header("Content-Type"), get.header("Content-Type"));
    QVERIFY2(head.rest.starts_with("HTTP/1.1 200 OK\r\n"), head.rest.c_str());
    QVERIFY(head.rest.ends_with("\r\n\r\n" + get.rest));
}

void TestLookupService::shouldRefuseWhatItDoesNotServe_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray end("Host: x\r\nConnection: close\r\n\r\n");

    QTest::newRow("unknown path") << "GET /default.asp HTTP/1.1\r\n" + end << 404;
    QTest::newRow("POST") << "POST /iii.asp HTTP/1.1\r\n" + end << 405;
    QTest::newRow("DELETE") << "DELETE / HTTP/1.1\r\n" + end << 405;
    QTest::newRow("POST with a body")
        << "POST /iii.asp HTTP/1.1\r\nContent-Length: 5\r\n" + end + "title" << 405;
    QTest::newRow("GET with a body")
        << "GET /iii.asp?title=110 HTTP/1.1\r\nContent-Length: 5\r\n" + end + "12345" << 413;
    QTest::newRow("GET with a chunked body") << "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" +
            end + "1\r\nx\r\n0\r\n\r\n" << 413;
    // A body whose end is not sure would be read as a next request: refused, and closed.
    const QByteArray smuggled("GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto framed = [&](const char *fields) {
        return "GET / HTTP/1.1\r\nHost: x\r\n" + QByteArray(fields) + "\r\n" + smuggled;
    };
    QTest::newRow("TE gzip") << framed("Transfer-Encoding: gzip\r\n") << 400;
    QTest::newRow("TE identity") << framed("Transfer-Encoding: identity\r\n") << 400;
    QTest::newRow("TE xchunked") << framed("Transfer-Encoding: xchunked\r\n") << 400;
    QTest::newRow("TE chunked, identity")
        << framed("Transfer-Encoding: chunked, identity\r\n") << 400;
    QTest::newRow("TE chunked twice")
        << framed("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n") << 400;
    QTest::newRow("TE and Content-Length")
        << framed("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n") << 400;
    QTest::newRow("Content-Length and TE")
        << framed("Content-Length: 0\r\nTransfer-Encoding: gzip\r\n") << 400;
    QTest::newRow("TE in HTTP/1.0")
        << "GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled << 400;
    QTest::newRow("not HTTP") << QByteArray("HELLO\r\n\r\n") << 400;
    QTest::newRow("bad version") << "GET / HTTP/9\r\n" + end << 400;
    QTest::newRow("space in the target") << "GET /iii asp HTTP/1.1\r\n" + end << 400;
    QTest::newRow("not a path") << "GET iii.asp HTTP/1.1\r\n" + end << 400;
    QTest::newRow("request line just under 8 KiB")
        << "GET /iii.asp?title=" + QByteArray(8000, '1') + " HTTP/1.1\r\n" + end << 200;
    QTest::newRow("request line over 8 KiB")
        << "GET /iii.asp?title=" + QByteArray(8200, '1') + " HTTP/1.1\r\n" + end << 414;
    QTest::newRow("headers over 8 KiB")
        << "GET / HTTP/1.1\r\nX-Padding: " + QByteArray(8200, 'x') + "\r\n" + end << 431;
}

void TestLookupService::shouldRefuseWhatItDoesNotServe()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const auto response = rawExchange(port_, request.toStdString());
    QCOMPARE(response.status, status);
    QVERIFY(response.closedByServer);
    QVERIFY2(response.rest.find("HTTP/1.") == std::string::npos, response.rest.c_str());
    if (status == 405)
        QCOMPARE(response.header("Allow"), "GET, HEAD");
}

void TestLookupService::shouldCloseIdleAndTricklingConnectionsAtTheDeadline()
{
    const auto server = startServer(*site_, 300ms);
    QElapsedTimer clock;
    clock.start();
    // One request answered, then nothing more: the kept-alive connection is closed.
    const auto response = rawExchange(server->localEndpoint().port(),
                                      "GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\n\r\n", 5s);
    QCOMPARE(response.status, 200);
    QVERIFY(response.closedByServer);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));

    // A header byte every 50 ms keeps the line busy but never finishes the request.
    asio::io_context context;
    RawSocket socket = rawConnect(context, server->localEndpoint().port());
    clock.restart();
    boost::system::error_code error;
    asio::write(socket, asio::buffer("GET / HTTP/1.1\r\n", 16), error);
    while (!error && clock.elapsed() < 5000) {
        std::this_thread::sleep_for(50ms);
        asio::write(socket, asio::buffer("x", 1), error);
    }
    QVERIFY(error);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
}

void TestLookupService::shouldAcceptEveryRequestLineFormItMust_data()
{
    QTest::addColumn<QByteArray>("requestLine");
    QTest::addColumn<QByteArray>("sameAs");  // the origin-form target answered alike
    QTest::newRow("absolute form") << QByteArray("GET http://x/iii.asp?title=110 HTTP/1.1\r\n")
                                   << QByteArray("/iii.asp?title=110");
    QTest::newRow("absolute form, upper-case https")
        << QByteArray("GET HTTPS://x:443/iii.asp?title=110 HTTP/1.1\r\n")
        << QByteArray("/iii.asp?title=110");
    QTest::newRow("absolute form without path")
        << QByteArray("GET http://x HTTP/1.1\r\n") << QByteArray("/");
    QTest::newRow("absolute form, query only")
        << QByteArray("GET http://x?title=110 HTTP/1.1\r\n") << QByteArray("/?title=110");
    QTest::newRow("empty line first") << QByteArray("\r\nGET /iii.asp?title=110 HTTP/1.1\r\n")
                                      << QByteArray("/iii.asp?title=110");
    QTest::newRow("bare LF and CRLF first")
        << QByteArray("\n\r\nGET /iii.asp?title=120 HTTP/1.1\r\n")
        << QByteArray("/iii.asp?title=120");
    // Full-width "１３８００１３８０００" as raw GBK bytes, unescaped, as older clients send it.
    QTest::newRow("raw GBK in the target")
        << QByteArray("GET /iii.asp?title=\xa3\xb1\xa3\xb3\xa3\xb8\xa3\xb0\xa3\xb0\xa3\xb1"
                      "\xa3\xb3\xa3\xb8\xa3\xb0\xa3\xb0\xa3\xb0 HTTP/1.1\r\n")
        << QByteArray("/iii.asp?title=13800138000");
}

void TestLookupService::shouldAcceptEveryRequestLineFormItMust()
{
    QFETCH(QByteArray, requestLine);
    QFETCH(QByteArray, sameAs);
    const auto expected = get(sameAs.toStdString());
    QCOMPARE(expected.status, 200);
    const auto response =
        rawExchange(port_, requestLine.toStdString() + "Host: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(response.status, 200);
    QCOMPARE(response.rest, expected.rest);
}

void TestLookupService::shouldCutAClientThatKeepsSendingAfterItsLastAnswer()
{
    asio::io_context context;
    RawSocket socket = rawConnect(context, port_);
    rawSend(socket, "GET / HTTP/1.1\r\nConnection: close\r\n\r\n");
    // Full speed, for as long as the server takes it: it must stop taking it, and soon.
    const std::string flood(64 * 1024, 'x');
    QElapsedTimer clock;
    clock.start();
    boost::system::error_code error;
    while (!error && clock.elapsed() < 10'000)
        asio::write(socket, asio::buffer(flood), error);
    QVERIFY(error);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
}

void TestLookupService::shouldSendToASlowReaderAsLongAsItProgresses()
{
    const auto server = startServer(*site_, 300ms);
    const auto download = [&](std::chrono::milliseconds pause, int chunks) {
        asio::io_context context;
        RawSocket socket = rawConnect(context, server->localEndpoint().port(), 16 * 1024);
        rawSend(socket, "GET /download/large.bin HTTP/1.1\r\nHost: x\r\n\r\n");
        qsizetype received = 0;
        char chunk[16 * 1024];
        boost::system::error_code error;
        for (int i = 0; !error; ++i) {
            if (i < chunks)
                std::this_thread::sleep_for(pause);
            received += qsizetype(socket.read_some(asio::buffer(chunk), error));
            if (received > kLargeFileSize)
                break;  // the whole body and its header: done
        }
        return received;
    };
    // 20 ms between reads, over 64 reads: well past the 300 ms deadline, always progressing.
    QVERIFY(download(20ms, 64) > kLargeFileSize);
    // Stalled for 2 s after the first read: cut, whatever the client does afterwards.
    QVERIFY(download(2s, 1) < kLargeFileSize);
}

void TestLookupService::shouldCountRequestsAndLookupsInPrometheusText()
{
    const std::string before = get("/metrics").rest;
    QCOMPARE(get("/iii.asp?title=13800138000").status, 200);
    QCOMPARE(get("/iii.asp?title=abc").status, 200);
    QCOMPARE(get("/IIIi.asp").status, 404);
    QCOMPARE(get("/healthz").rest, "alive\n");
    QCOMPARE(get("/readyz").rest, "ready\n");
    const auto scrape = get("/metrics");
    QCOMPARE(scrape.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string &after = scrape.rest;
    for (const auto &[series, added] : std::initializer_list<std::pair<std::string, double>>{
             {"zuno_lookups_total{outcome=\"found\"}", 1},
             {"zuno_lookups_total{outcome=\"letters\"}", 1},
             {"zuno_http_requests_total{route=\"lookup\",code=\"2xx\"}", 2},
             {"zuno_http_requests_total{route=\"other\",code=\"4xx\"}", 1},
             {"zuno_http_requests_total{route=\"healthz\",code=\"2xx\"}", 1},
             {"zuno_http_requests_total{route=\"metrics\",code=\"2xx\"}", 1},
             {"zuno_http_request_duration_seconds_count", 6},
             {"zuno_http_connections_total", 6}})
        QVERIFY2(seriesValue(after, series) - seriesValue(before, series) == added, series.c_str());
    QVERIFY(seriesValue(after, "zuno_http_response_bytes_total") >
            seriesValue(before, "zuno_http_response_bytes_total"));
    QVERIFY(after.find("\nzuno_build_info{version=\"" ZUNO_VERSION_TEXT "\"} 1\n") !=
            std::string::npos);

    QProcess promtool;
    promtool.start(u"promtool"_s, {u"check"_s, u"metrics"_s});
    QVERIFY2(promtool.waitForStarted(), "promtool (Debian package prometheus) is missing");
    promtool.write(QByteArray::fromStdString(after));
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished());
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
}

QTEST_GUILESS_MAIN(TestLookupService)
#include "tst_lookup_service.moc"
