// Service headers first: Qt's keyword macros must not reach Boost.
#include "service/server.h"
#include "service/site.h"

#include "lookup/get_body.h"
#include "raw_http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using zuno::test::headerValue;
using zuno::test::rawExchange;

namespace {

const QByteArray kSecret("the contents of a file outside the download folder");
constexpr char kInstallerBytes[] = "MZ installer bytes \x00\x01\x02 end";
const QByteArray kInstaller(kInstallerBytes, sizeof kInstallerBytes - 1);

QString text(const char16_t *utf16)
{
    return QString::fromUtf16(utf16);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

std::unique_ptr<zuno::service::Server> startServer(const zuno::service::Site &site,
                                                   std::chrono::milliseconds deadline)
{
    zuno::service::ServerOptions options;
    options.listen = {boost::asio::ip::make_address("127.0.0.1"), 0};
    options.threads = 2;
    options.limits.deadline = deadline;
    auto server = std::make_unique<zuno::service::Server>(site, options);
    server->start();
    return server;
}

}  // namespace

class TestLookupService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // Lookups, through the window's own client
    void shouldNameThePlaceOfKnownNumbers_data();
    void shouldNameThePlaceOfKnownNumbers();
    void shouldExplainUnusableInputWithoutAPlace_data();
    void shouldExplainUnusableInputWithoutAPlace();
    void shouldQuoteAtMost32CharactersOfTheInput();

    // The reply on the wire
    void shouldAnswerInGbkWithCrlfLines();
    void shouldReadARawGbkTitle();
    void shouldAnswerHeadWithTheHeaderOfGetAndNoBody();

    // Home page and downloads
    void shouldServeTheHomePageWithTheFormAndTheVersion();
    void shouldListAndServeTheDownloads();
    void shouldNeverServeAFileOutsideTheDownloadFolder_data();
    void shouldNeverServeAFileOutsideTheDownloadFolder();

    // Refusals and limits
    void shouldRefuseWhatItDoesNotServe_data();
    void shouldRefuseWhatItDoesNotServe();
    void shouldCloseAnIdleConnectionAtTheDeadline();
    void shouldCloseATricklingClientAtTheDeadline();
    void shouldKeepAnsweringWithAThousandOpenConnections();

private:
    QString lookupUrl(const QString &typed) const;

    QTemporaryDir root_;
    std::unique_ptr<zuno::service::Site> site_;
    std::unique_ptr<zuno::service::Server> server_;
    unsigned short port_ = 0;
};

void TestLookupService::initTestCase()
{
    QVERIFY(root_.isValid());
    const QDir root(root_.path());
    QVERIFY(root.mkdir(QStringLiteral("downloads")));
    QVERIFY(writeFile(root.filePath(QStringLiteral("secret.txt")), kSecret));
    QVERIFY(writeFile(root.filePath(QStringLiteral("downloads/zuno-1.2.zip")), kInstaller));
    QVERIFY(writeFile(root.filePath(text(u"downloads/使用说明.txt")), QByteArrayLiteral("read me")));
    QVERIFY(writeFile(root.filePath(QStringLiteral("downloads/.hidden")), kSecret));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("secret.txt")),
                        root.filePath(QStringLiteral("downloads/link.txt"))));

    site_ = std::make_unique<zuno::service::Site>(zuno::service::DownloadFolder(
        root.filePath(QStringLiteral("downloads")).toStdString()));
    server_ = startServer(*site_, 10s);
    port_ = server_->localEndpoint().port();
}

void TestLookupService::cleanupTestCase()
{
    server_.reset();
}

QString TestLookupService::lookupUrl(const QString &typed) const
{
    return QStringLiteral("http://127.0.0.1:%1/iii.asp?title=").arg(port_) + typed;
}

void TestLookupService::shouldNameThePlaceOfKnownNumbers_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reply");

    const auto row = [](const char *name, const char16_t *typed, const char16_t *number,
                        const char16_t *place, const char16_t *kind) {
        QTest::newRow(name) << text(typed)
                            << text(u"号码：") + text(number) + text(u"\r\n归属地：") + text(place) +
                                   text(u"\r\n类型：") + text(kind) + text(u"\r\n");
    };
    // Mobiles
    row("mobile", u"13800138000", u"138 0013 8000", u"北京市", u"手机号码");
    row("mobile in groups", u"138 0013 8000", u"138 0013 8000", u"北京市", u"手机号码");
    row("mobile in a province", u"13912345678", u"139 1234 5678", u"江苏省常州市", u"手机号码");
    row("mobile with +86", u"+8613800138000", u"138 0013 8000", u"北京市", u"手机号码");
    row("mobile with +86 and spaces", u"+86 138-0013-8000", u"138 0013 8000", u"北京市", u"手机号码");
    row("mobile with 0086", u"0086 13800138000", u"138 0013 8000", u"北京市", u"手机号码");
    row("mobile with bare 86", u"8613800138000", u"138 0013 8000", u"北京市", u"手机号码");
    row("full-width digits", u"１３８００１３８０００", u"138 0013 8000", u"北京市", u"手机号码");
    row("full-width +86 and hyphens", u"＋８６－１３８－００１３－８０００", u"138 0013 8000",
        u"北京市", u"手机号码");
    // Fixed lines
    row("Beijing with dash", u"010-12345678", u"010 1234 5678", u"北京市", u"固定电话");
    row("Beijing without dash", u"01012345678", u"010 1234 5678", u"北京市", u"固定电话");
    row("Guangzhou with dots", u"020.1234.5678", u"020 1234 5678", u"广东省广州市", u"固定电话");
    row("Shenzhen in parentheses", u"(0755)12345678", u"0755 1234 5678", u"广东省深圳市",
        u"固定电话");
    row("Hangzhou full-width parentheses", u"（０５７１）８８８８８８８８", u"0571 8888 8888",
        u"浙江省杭州市", u"固定电话");
    row("Lanzhou seven digits", u"0931-8888888", u"0931 888 8888", u"甘肃省兰州市", u"固定电话");
    row("Shanghai with +86", u"+86 21 12345678", u"021 1234 5678", u"上海市", u"固定电话");
    row("Beijing with 0086 and trunk 0", u"0086-010-12345678", u"010 1234 5678", u"北京市",
        u"固定电话");
    // Nationwide numbers
    row("toll free 800", u"800-810-0000", u"800 810 0000", u"中国", u"免费电话");
    row("company 400", u"400-812-3123", u"400 812 3123", u"中国", u"企业热线");
    // Short numbers
    row("police", u"110", u"110", u"全国通用", u"紧急号码");
    row("fire", u"119", u"119", u"全国通用", u"紧急号码");
    row("ambulance", u"120", u"120", u"全国通用", u"紧急号码");
    row("traffic accidents", u"122", u"122", u"全国通用", u"紧急号码");
    row("China Mobile", u"10086", u"10086", u"全国通用", u"服务号码");
    row("China Unicom", u"10010", u"10010", u"全国通用", u"服务号码");
    row("China Telecom", u"10000", u"10000", u"全国通用", u"服务号码");
    row("consumer complaints", u"12315", u"12315", u"全国通用", u"服务号码");
    row("a bank", u"95588", u"95588", u"全国通用", u"服务号码");
}

void TestLookupService::shouldNameThePlaceOfKnownNumbers()
{
    QFETCH(QString, typed);
    QFETCH(QString, reply);
    QCOMPARE(zuno::GetBody(lookupUrl(typed)).toText(), reply);
}

void TestLookupService::shouldExplainUnusableInputWithoutAPlace_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("explanation");

    QTest::newRow("empty") << QString() << text(u"请输入");
    QTest::newRow("only spaces") << QStringLiteral("   ") << text(u"请输入");
    QTest::newRow("letters") << QStringLiteral("abc") << text(u"字母");
    QTest::newRow("letter O for zero") << QStringLiteral("138OO138OOO") << text(u"字母");
    QTest::newRow("full-width letters") << text(u"ＡＢＣ") << text(u"字母");
    QTest::newRow("Chinese characters") << text(u"北京") << text(u"无法识别");
    QTest::newRow("three digits") << QStringLiteral("123") << text(u"位数不够");
    QTest::newRow("local number without area code") << QStringLiteral("12345678")
                                                    << text(u"位数不够");
    QTest::newRow("+86 and a short number") << QStringLiteral("+86 110") << text(u"位数不够");
    QTest::newRow("fourteen digits") << QStringLiteral("12345678901234") << text(u"位数太多");
    QTest::newRow("mobile with an extra digit") << QStringLiteral("138001380001")
                                                << text(u"不是有效");
    QTest::newRow("eleven digits no mobile has") << QStringLiteral("12345678901")
                                                 << text(u"不是有效");
    QTest::newRow("another country with +") << QStringLiteral("+1 650 253 0000")
                                             << text(u"不是中国");
    QTest::newRow("another country with 00") << QStringLiteral("0044 20 7946 0000")
                                              << text(u"不是中国");
}

void TestLookupService::shouldExplainUnusableInputWithoutAPlace()
{
    QFETCH(QString, typed);
    QFETCH(QString, explanation);
    const QString reply = zuno::GetBody(lookupUrl(typed)).toText();
    QVERIFY2(reply.size() > 9, qPrintable(reply));
    QVERIFY2(reply.contains(explanation), qPrintable(reply));
    QVERIFY2(!reply.contains(text(u"归属地")), qPrintable(reply));
    QVERIFY(reply.endsWith(QStringLiteral("\r\n")));
    QCOMPARE(reply.count(QStringLiteral("\r\n")), 1);
}

void TestLookupService::shouldQuoteAtMost32CharactersOfTheInput()
{
    const QString typed = QStringLiteral("abcdefghij").repeated(10);
    const QString reply = zuno::GetBody(lookupUrl(typed)).toText();
    QVERIFY2(reply.contains(typed.left(32)), qPrintable(reply));
    QVERIFY2(!reply.contains(typed.left(33)), qPrintable(reply));
}

void TestLookupService::shouldAnswerInGbkWithCrlfLines()
{
    const auto response = rawExchange(
        port_, "GET /iii.asp?title=13800138000 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(response.status, 200);
    QCOMPARE(headerValue(response.head, "Content-Type"), "text/plain; charset=gb2312");
    // 号码：138 0013 8000 / 归属地：北京市 / 类型：手机号码, in GBK.
    QCOMPARE(QByteArray::fromStdString(response.rest),
             QByteArray("\xba\xc5\xc2\xeb\xa3\xba" "138 0013 8000\r\n"
                        "\xb9\xe9\xca\xf4\xb5\xd8\xa3\xba\xb1\xb1\xbe\xa9\xca\xd0\r\n"
                        "\xc0\xe0\xd0\xcd\xa3\xba\xca\xd6\xbb\xfa\xba\xc5\xc2\xeb\r\n"));
}

void TestLookupService::shouldReadARawGbkTitle()
{
    // Full-width "１３８００１３８０００" as GBK bytes, unescaped, as older clients send it.
    const std::string fullWidth =
        "\xa3\xb1\xa3\xb3\xa3\xb8\xa3\xb0\xa3\xb0\xa3\xb1\xa3\xb3\xa3\xb8\xa3\xb0\xa3\xb0\xa3\xb0";
    auto response = rawExchange(port_, "GET /iii.asp?title=" + fullWidth +
                                           " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(response.status, 200);
    QVERIFY(response.rest.starts_with("\xba\xc5\xc2\xeb\xa3\xba" "138 0013 8000\r\n"));

    // "北京" as escaped GBK is quoted back as the same characters.
    response = rawExchange(port_, "GET /iii.asp?title=%B1%B1%BE%A9 HTTP/1.1\r\nHost: x\r\n"
                                  "Connection: close\r\n\r\n");
    QCOMPARE(response.status, 200);
    QVERIFY(response.rest.find("\xa1\xb0\xb1\xb1\xbe\xa9\xa1\xb1") != std::string::npos);
}

void TestLookupService::shouldAnswerHeadWithTheHeaderOfGetAndNoBody()
{
    const std::string target = "/iii.asp?title=010-12345678";
    const auto get = rawExchange(
        port_, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    // HEAD, then GET on the same connection: the GET's answer must follow the HEAD's header.
    const auto head = rawExchange(port_, "HEAD " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"
                                         "GET " + target + " HTTP/1.1\r\nHost: x\r\n"
                                         "Connection: close\r\n\r\n");
    QCOMPARE(head.status, 200);
    QCOMPARE(headerValue(head.head, "Content-Length"), std::to_string(get.rest.size()));
    QCOMPARE(headerValue(head.head, "Content-Type"), headerValue(get.head, "Content-Type"));
    QVERIFY2(head.rest.starts_with("HTTP/1.1 200 OK\r\n"), head.rest.c_str());
    QVERIFY(head.rest.ends_with("\r\n\r\n" + get.rest));
}

void TestLookupService::shouldServeTheHomePageWithTheFormAndTheVersion()
{
    const auto response = rawExchange(port_, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(response.status, 200);
    QCOMPARE(headerValue(response.head, "Content-Type"), "text/html; charset=utf-8");
    const QString page = QString::fromStdString(response.rest);
    QVERIFY(page.contains(text(u"<title>ZUNO全国电话号码归属地查询</title>")));
    QVERIFY(page.contains(text(u"当前版本：<strong>1.2</strong>")));
    QVERIFY(page.contains(QStringLiteral("<form action=\"/iii.asp\" method=\"get\"")));
    QVERIFY(page.contains(QStringLiteral("name=\"title\"")));
}

void TestLookupService::shouldListAndServeTheDownloads()
{
    const auto home = rawExchange(port_, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const QString page = QString::fromStdString(home.rest);
    QVERIFY(page.contains(QStringLiteral("<a href=\"/download/zuno-1.2.zip\">zuno-1.2.zip</a>")));
    QVERIFY(page.contains(text(u"<a href=\"/download/%E4%BD%BF%E7%94%A8%E8%AF%B4%E6%98%8E.txt\">"
                               u"使用说明.txt</a>")));
    QVERIFY(!page.contains(QStringLiteral(".hidden")));
    QVERIFY(!page.contains(QStringLiteral("link.txt")));

    const auto file = rawExchange(
        port_, "GET /download/zuno-1.2.zip HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(file.status, 200);
    QCOMPARE(QByteArray::fromStdString(file.rest), kInstaller);
    const auto named = rawExchange(port_, "GET /download/%E4%BD%BF%E7%94%A8%E8%AF%B4%E6%98%8E.txt "
                                          "HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(named.status, 200);
    QCOMPARE(named.rest, "read me");
}

void TestLookupService::shouldNeverServeAFileOutsideTheDownloadFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("dot dot") << QByteArray("/download/../secret.txt");
    QTest::newRow("escaped slash") << QByteArray("/download/..%2Fsecret.txt");
    QTest::newRow("all escaped") << QByteArray("/download/%2E%2E%2Fsecret.txt");
    QTest::newRow("backslash") << QByteArray("/download/..%5Csecret.txt");
    QTest::newRow("deeper") << QByteArray("/download/x/..%2F..%2Fsecret.txt");
    QTest::newRow("absolute path") << QByteArray("/download/%2Fetc%2Fpasswd");
    QTest::newRow("symbolic link out") << QByteArray("/download/link.txt");
    QTest::newRow("hidden file") << QByteArray("/download/.hidden");
    QTest::newRow("NUL byte") << QByteArray("/download/zuno-1.2.zip%00.txt");
    QTest::newRow("the folder itself") << QByteArray("/download/");
}

void TestLookupService::shouldNeverServeAFileOutsideTheDownloadFolder()
{
    QFETCH(QByteArray, target);
    const auto response = rawExchange(
        port_, "GET " + target.toStdString() + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(response.status, 404);
    QVERIFY(response.rest.find(kSecret.toStdString()) == std::string::npos);
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
    QTest::newRow("GET with a chunked body")
        << "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + end + "1\r\nx\r\n0\r\n\r\n" << 413;
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
    if (status == 405)
        QCOMPARE(headerValue(response.head, "Allow"), "GET, HEAD");
}

void TestLookupService::shouldCloseAnIdleConnectionAtTheDeadline()
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
}

void TestLookupService::shouldCloseATricklingClientAtTheDeadline()
{
    const auto server = startServer(*site_, 300ms);
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket(context);
    socket.connect(server->localEndpoint());
    QElapsedTimer clock;
    clock.start();
    boost::system::error_code error;
    boost::asio::write(socket, boost::asio::buffer("GET / HTTP/1.1\r\n", 16), error);
    // A header byte every 50 ms keeps the line busy but never finishes the request.
    while (!error && clock.elapsed() < 5000) {
        std::this_thread::sleep_for(50ms);
        boost::asio::write(socket, boost::asio::buffer("x", 1), error);
    }
    QVERIFY(error);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
}

void TestLookupService::shouldKeepAnsweringWithAThousandOpenConnections()
{
    constexpr int kConnections = 1000;
    // Both ends of every connection live in this process.
    rlimit limit{};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &limit) == 0);
    limit.rlim_cur = limit.rlim_max;
    QVERIFY(setrlimit(RLIMIT_NOFILE, &limit) == 0);
    QVERIFY2(limit.rlim_cur > 2 * kConnections + 100, "the hard limit on open files is too low");
    boost::asio::io_context context;
    std::vector<boost::asio::ip::tcp::socket> open;
    open.reserve(kConnections);
    for (int i = 0; i < kConnections; ++i) {
        open.emplace_back(context);
        open.back().connect(server_->localEndpoint());
    }
    QCOMPARE(zuno::GetBody(lookupUrl(QStringLiteral("13800138000"))).toText().section(u'\n', 1, 1),
             text(u"归属地：北京市\r"));

    // The first connection opened is still served.
    const std::string request = "GET /iii.asp?title=120 HTTP/1.1\r\nHost: x\r\n\r\n";
    boost::asio::write(open.front(), boost::asio::buffer(request));
    char reply[16] = {};
    boost::system::error_code error;
    boost::asio::read(open.front(), boost::asio::buffer(reply), error);
    QVERIFY(!error);
    QCOMPARE(std::string(reply, sizeof reply), "HTTP/1.1 200 OK\r");
}

QTEST_GUILESS_MAIN(TestLookupService)
#include "tst_lookup_service.moc"
