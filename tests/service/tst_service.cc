// SPDX-License-Identifier: Apache-2.0
// Service headers before any Qt header: Qt's keyword macros must not reach Boost.
#include "server/server.h"
#include "site/downloads/folder_watcher.h"
#include "site/site.h"

#include "get_body.h"
#include "number/data_versions.h"
#include "raw_http.h"
#include "text/utf8.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <tuple>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using zuno::service::DownloadFolder;
using zuno::service::Site;

namespace {

// Larger than a socket's largest send buffer, so that a reader that stops stalls the server.
constexpr qsizetype kLargeFileSize = 16 * 1024 * 1024;
const QByteArray kSecret("the contents of a file outside the download folder");
const QByteArray kInstaller("MZ installer bytes \x00\x01\x02 end", 26);
// SHA-256 of 2 GiB of zero bytes.
const QString kTwoGibibytesOfZeros =
    u"a7c744c13cc101ed66c29f672f92455547889cc586ce6d44fe76ae824958ea51"_s;

// The service on 127.0.0.1 and a free port, on two threads of this process; deadline bounds
// both a request's arrival and a stalled send.
std::unique_ptr<zuno::service::Server> startServer(const Site &site,
                                                   std::chrono::milliseconds deadline = 10s)
{
    zuno::service::ServerOptions options;
    options.listen = {asio::ip::make_address("127.0.0.1"), 0};
    options.threads = 2;
    options.limits.requestTimeout = deadline;
    options.limits.sendStallTimeout = deadline;
    auto server = std::make_unique<zuno::service::Server>(site, options);
    server->start();
    return server;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A Debian package built by dpkg-deb, its control member compressed as asked; more (unchecked)
// follows the control file's fields.
bool buildPackage(const QString &root, const QString &version, const QString &compression,
                  const QString &output, const QString &more = {})
{
    const QString tree = root + u"/tree-"_s + compression;
    const QString control =
        u"Package: zuno-lookup\nVersion: %1\nArchitecture: amd64\n"
        "Maintainer: Test <t@zuno.invalid>\n"
        "Description: ZUNO <lookup> & \"window\"\n second line\n"_s.arg(version) +
        more;
    if (!QDir().mkpath(tree + u"/DEBIAN"_s) ||
        !writeFile(tree + u"/DEBIAN/control"_s, control.toUtf8()))
        return false;
    return QProcess::execute(u"dpkg-deb"_s,
                             {u"--root-owner-group"_s, u"--nocheck"_s, u"-Z"_s + compression,
                              u"--build"_s, tree, output}) == 0;
}

QString text(const RawResponse &response) { return QString::fromUtf8(response.rest); }

// A 32-bit PE file as a linker lays it out: one .rsrc section holding RT_VERSION, name 1,
// language 0x804, whose VS_FIXEDFILEINFO gives product version a.b.c.d. dataRva moves the
// version record's address (to point it outside the file).
QByteArray windowsProgram(quint16 a, quint16 b, quint16 c, quint16 d, quint32 dataRva = 0x1058)
{
    QByteArray file(0x400, '\0');
    const auto put16 = [&](int at, quint32 value) {
        file[at] = char(value & 0xFF);
        file[at + 1] = char(value >> 8 & 0xFF);
    };
    const auto put32 = [&](int at, quint32 value) {
        put16(at, value & 0xFFFF);
        put16(at + 2, value >> 16);
    };
    file.replace(0, 2, "MZ");
    put32(0x3C, 0x40);
    file.replace(0x40, 4, QByteArray("PE\0\0", 4));
    put16(0x44, 0x14C);             // i386
    put16(0x46, 1);                 // one section
    put16(0x54, 0xE0);              // optional header size
    put16(0x58, 0x10B);             // PE32
    put32(0x58 + 92, 16);           // data directories
    put32(0x58 + 96 + 16, 0x1000);  // resources: RVA, size
    put32(0x58 + 96 + 20, 0xB4);
    const int section = 0x58 + 0xE0;
    file.replace(section, 5, ".rsrc");
    put32(section + 8, 0xB4);
    put32(section + 12, 0x1000);
    put32(section + 16, 0x200);
    put32(section + 20, 0x200);
    const int rsrc = 0x200;
    for (const auto &[directory, id, target] :
         {std::tuple{0x00, 16u, 0x80000018u}, {0x18, 1u, 0x80000030u}, {0x30, 0x804u, 0x48u}}) {
        put16(rsrc + directory + 14, 1);
        put32(rsrc + directory + 16, id);
        put32(rsrc + directory + 20, target);
    }
    put32(rsrc + 0x48, dataRva);
    put32(rsrc + 0x4C, 92);
    const int record = rsrc + 0x58;
    put16(record, 92);
    put16(record + 2, 52);
    const QString key = u"VS_VERSION_INFO"_s;
    for (int i = 0; i < key.size(); ++i)
        put16(record + 6 + 2 * i, key.at(i).unicode());
    put32(record + 40, 0xFEEF04BD);
    put32(record + 44, 0x10000);
    for (const int at : {48, 56}) {
        put32(record + at, quint32(a) << 16 | b);
        put32(record + at + 4, quint32(c) << 16 | d);
    }
    return file;
}

// A .zip made by Python's zipfile, holding `program` under a folder, after a read-me.
bool zipProgram(const QString &program, const QString &output)
{
    return QProcess::execute(u"python3"_s,
                             {u"-c"_s,
                              u"import sys, zipfile\n"
                              "with zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                              "    z.writestr('zuno-lookup/使用说明.txt', 'read me')\n"
                              "    z.write(sys.argv[1], 'zuno-lookup/zuno-lookup.exe')\n"_s,
                              program, output}) == 0;
}

using zuno::service::Answer;
using zuno::service::LaterAnswer;
using zuno::service::RouteContext;
namespace http = boost::beast::http;

Answer plainAnswer(unsigned version, std::string body)
{
    zuno::service::StringResponse response{http::status::ok, version};
    response.set(http::field::content_type, "text/plain");
    response.body() = std::move(body);
    response.prepare_payload();
    return {std::move(response), std::nullopt};
}

// A site of test routes on its own server: /echo takes a POST body of up to 16 bytes and sends
// it back; /now answers at once; /later?MS answers MS milliseconds later from a thread of its
// own (/later?drop never does). The work is joined before the server goes.
struct TestSite {
    explicit TestSite(unsigned threads, std::chrono::milliseconds deadline = 10s)
    {
        using zuno::service::Route;
        zuno::service::RouteTable routes{
            {"/echo", Route::Match::Exact, zuno::service::kPost, "echo",
             zuno::service::Audience::Api, 16,
             [](const RouteContext &context) {
                 return plainAnswer(context.request.version(), context.request.body());
             },
             nullptr},
            {"/now", Route::Match::Exact, zuno::service::kGetAndHead, "now",
             zuno::service::Audience::Page, 0,
             [](const RouteContext &context) {
                 return plainAnswer(context.request.version(), "now");
             },
             nullptr},
            {"/later", Route::Match::Exact, zuno::service::kGetAndHead, "later",
             zuno::service::Audience::Page, 0, nullptr,
             [this](const RouteContext &context, LaterAnswer later) {
                 const std::lock_guard lock(mutex);
                 work.emplace_back([query = std::string(context.query),
                                    version = context.request.version(),
                                    later = std::move(later)]() mutable {
                     if (query == "drop")
                         return;
                     std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(query)));
                     later.send(plainAnswer(version, query));
                 });
             }},
        };
        zuno::service::ServerOptions options;
        options.listen = {asio::ip::make_address("127.0.0.1"), 0};
        options.threads = threads;
        options.limits.requestTimeout = deadline;
        server = std::make_unique<zuno::service::Server>(std::move(routes), options);
        server->stopOnSignals({SIGUSR2});
        server->start();
        port = server->localEndpoint().port();
    }
    ~TestSite()
    {
        // Answers are posted to the server's threads: they must be there to take them.
        const std::lock_guard lock(mutex);
        for (std::thread &thread : work)
            thread.join();
    }

    std::mutex mutex;
    std::vector<std::thread> work;
    std::unique_ptr<zuno::service::Server> server;
    unsigned short port = 0;
};

RawResponse postBatch(unsigned short port, const std::string &query, const std::string &body)
{
    return rawExchange(port,
                       "POST /api/v1/lookup/batch" + query +
                           " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body);
}

// Every lookup the service has made, whatever its outcome.
double lookupsMade(std::string_view metrics)
{
    double total = 0;
    for (size_t at = metrics.find("\nzuno_lookups_total{"); at != std::string_view::npos;
         at = metrics.find("\nzuno_lookups_total{", at + 1))
        total += std::stod(std::string(metrics.substr(metrics.find("} ", at) + 2)));
    return total;
}

}  // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { server_.reset(); }

    // Pages, the API and their headers
    void shouldSendTheHeadersOfEachKindOfAnswer_data();
    void shouldSendTheHeadersOfEachKindOfAnswer();
    void shouldAnswerTheApiInValidJson_data();
    void shouldAnswerTheApiInValidJson();
    void shouldAnswerTheFormWithAnEscapedPageAndTheFormAgain();
    void shouldAnswerEachTypedFormOnThePageAndInTheApi_data();
    void shouldAnswerEachTypedFormOnThePageAndInTheApi();

    // The download list
    void shouldListPackagesWithTheirFieldsAndNewestVersion();
    void shouldSayNoPackageIsOfferedWhenThereAreNone();
    void shouldShowTheVersionRecordOfWindowsFiles_data();
    void shouldShowTheVersionRecordOfWindowsFiles();
    void shouldOfferTheVisitorsOwnSystemFirst_data();
    void shouldOfferTheVisitorsOwnSystemFirst();
    void shouldKeepTheHomePageSmallAndQuickWithTwentyThousandFiles();
    void shouldFollowFilesAndTheFolderAsTheyChange_data();
    void shouldFollowFilesAndTheFolderAsTheyChange();

    // Sending files
    void shouldHonourValidatorsAndRanges_data();
    void shouldHonourValidatorsAndRanges();
    void shouldServeOnlyRegularFilesInsideTheFolder_data();
    void shouldServeOnlyRegularFilesInsideTheFolder();
    void shouldNeverServeOutsideTheFolderWhileANameIsSwapped();
    void shouldEndTheAnswerWhenTheFileShrinksWhileSent();
    void shouldServeAndDigestATwoGibibyteFileWithoutHoldingUpLookups();

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

    // Routes given by the caller: bodies and later answers
    void shouldReadTheBodiesARouteTakesWithinItsLimit_data();
    void shouldReadTheBodiesARouteTakesWithinItsLimit();
    void shouldAnswerContinueBeforeTheBodyAndNotWhenRefused();
    void shouldSendLaterAnswersInRequestOrder();
    void shouldServeOtherConnectionsWhileAnAnswerIsPending();
    void shouldFinishALaterAnswerWhenDrainingThenClose();

    // The process's own endpoints
    void shouldCountRequestsAndLookupsInPrometheusText();
    void shouldShowMetricsOnlyToTheNetworksListed_data();
    void shouldShowMetricsOnlyToTheNetworksListed();

    // Many numbers at once
    void shouldAnswerEveryBatchInputWithOneRowInOrder_data();
    void shouldAnswerEveryBatchInputWithOneRowInOrder();
    void shouldWriteBatchCsvQuotedWithCrlfAndAByteOrderMark();
    void shouldAnswerBatchRowsWhileTheBodyStillArrives();
    void shouldStopTheBatchWhenItsReaderStopsOrGoesAway();
    void shouldEndTheBatchWithARowWhenItsBodyOutgrowsWhatIsHeld();
    void shouldEndTheBatchWhereItsBodyStopsHalfWay();
    void shouldEndAStreamedBatchByClosingOverHttp10_data();
    void shouldEndAStreamedBatchByClosingOverHttp10();
    void shouldRefuseAnUploadThatIsNoWholeFormWithOneFile_data();
    void shouldRefuseAnUploadThatIsNoWholeFormWithOneFile();

private:
    QString lookupUrl(const QString &typed) const
    {
        return u"http://127.0.0.1:%1/iii.asp?title="_s.arg(port_) + typed;
    }
    // A GET that asks the server to close once it has answered.
    RawResponse get(const std::string &target) const { return rawGet(port_, target); }
    QString folder() const { return root_.filePath(u"downloads"_s); }
    QString homePageOnceDigested() const
    {
        QString page;
        for (int i = 0; i < 600; ++i) {
            page = text(rawGet(port_, "/"));
            if (!page.contains(u"计算中"_s) && !page.contains(u"正在读取"_s))
                break;
            QTest::qWait(100);
        }
        return page;
    }

    QTemporaryDir root_;
    std::unique_ptr<Site> site_;
    std::unique_ptr<zuno::service::Server> server_;
    unsigned short port_ = 0;
};

void TestService::initTestCase()
{
    QVERIFY(root_.isValid());
    QVERIFY(QDir(root_.path()).mkdir(u"downloads"_s));
    QVERIFY(writeFile(root_.filePath(u"secret.txt"_s), kSecret));
    QVERIFY(writeFile(folder() + u"/zuno-1.2.zip"_s, kInstaller));
    // An old file: an If-Modified-Since between then and now is a date it was not modified since.
    QFile zip(folder() + u"/zuno-1.2.zip"_s);
    QVERIFY(zip.open(QIODevice::ReadWrite) &&
            zip.setFileTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC),
                            QFileDevice::FileModificationTime));
    zip.close();
    QVERIFY(writeFile(folder() + u"/使用说明.txt"_s, "read me"));
    QVERIFY(writeFile(folder() + u"/.hidden"_s, kSecret));
    QVERIFY(writeFile(folder() + u"/large.bin"_s, {}) &&
            QFile::resize(folder() + u"/large.bin"_s, kLargeFileSize));
    QVERIFY(QFile::link(root_.filePath(u"secret.txt"_s), folder() + u"/link.txt"_s));
    QCOMPARE(mkfifo(QFile::encodeName(folder() + u"/pipe.deb"_s).constData(), 0600), 0);
    for (const auto &[version, compression] :
         {std::pair{u"1.9"_s, u"xz"_s}, {u"1.10"_s, u"gzip"_s}, {u"1.10~rc1"_s, u"zstd"_s}})
        QVERIFY(buildPackage(root_.path(), version, compression,
                             folder() + u"/zuno-lookup_%1_amd64.deb"_s.arg(version)));
    // Versions dpkg would not take as newest, names a shell or a reader would take otherwise
    QVERIFY(buildPackage(root_.path(), u"99999999999999999999:2.0"_s, u"gzip"_s,
                         folder() + u"/epoch.deb"_s));
    QVERIFY(buildPackage(root_.path(), u"1.0"_s, u"gzip"_s, folder() + u"/two-paragraphs.deb"_s,
                         u"\nPackage: zuno-lookup\nVersion: 9.9\n"_s));
    for (const QString &name : {u"$(touch${IFS}pwned);x.deb"_s, u"with space_2.0.deb"_s})
        QVERIFY(QFile::copy(folder() + u"/zuno-lookup_1.9_amd64.deb"_s, folder() + u'/' + name));
    QVERIFY(writeFile(folder() + u"/setup\u202Egnp.exe"_s, kInstaller));
    site_ = std::make_unique<Site>(DownloadFolder(folder().toStdString()));
    server_ = startServer(*site_);
    port_ = server_->localEndpoint().port();
}

void TestService::shouldSendTheHeadersOfEachKindOfAnswer_data()
{
    QTest::addColumn<QByteArray>("request");  // a target to GET, or a whole request
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("cacheControl");
    QTest::addColumn<QString>("error");     // in the error's HTML page, JSON or GBK text
    QTest::addColumn<QByteArray>("label");  // the route it is counted under in the metrics
    const QByteArray html("text/html; charset=utf-8"), json("application/json; charset=utf-8"),
        problem("application/problem+json"), gbk("text/plain; charset=gb2312"),
        text("text/plain; charset=utf-8"), day("public, max-age=86400"),
        end("Host: x\r\nConnection: close\r\n\r\n");
    const auto row = [](const char *name, const QByteArray &request, const QByteArray &label,
                        int status, const QByteArray &type, const QByteArray &cache = "no-cache",
                        const QString &error = {}) {
        QTest::newRow(name) << request << status << type << cache << error << label;
    };
    // Every route
    row("window", "/iii.asp?title=110", "lookup", 200, gbk);
    row("window, any case", "/III.Asp?title=110", "lookup", 200, gbk);
    row("window, escaped path", "/iii%2Easp?title=110", "lookup", 200, gbk);
    row("home page", "/", "home", 200, html);
    row("lookup page", "/lookup?number=110", "lookup_page", 200, html);
    row("API", "/api/v1/lookup?number=110", "api_lookup", 200, json);
    row("download", "/download/zuno-1.2.zip", "download", 200, "application/octet-stream");
    row("icon", "/favicon.ico", "static", 200, "image/vnd.microsoft.icon", day);
    row("screenshot", "/screenshot.png", "static", 200, "image/png", day);
    row("health", "/healthz", "healthz", 200, text, "no-store");
    row("readiness", "/readyz", "readyz", 200, text, "no-store");
    row("metrics", "/metrics", "metrics", 200, "text/plain; version=0.0.4; charset=utf-8",
        "no-store");
    // Errors of the routes and of the connection, each in the form its client reads
    row("404 page", "/nowhere", "other", 404, html, "no-store", u"找不到该页面"_s);
    row("404 download", "/download/nowhere.zip", "download", 404, html, "no-store",
        u"找不到该页面"_s);
    row("404 API", "/api/v1/nowhere", "other", 404, problem, "no-store", u"404"_s);
    row("400 API without number", "/api/v1/lookup?title=1", "api_lookup", 400, problem, "no-store",
        u"number"_s);
    row("405 window", "POST /iii.asp HTTP/1.1\r\n" + end, "lookup", 405, gbk, "no-store",
        u"405 不支持该请求方法\r\n"_s);
    row("405 API", "DELETE /api/v1/lookup HTTP/1.1\r\n" + end, "api_lookup", 405, problem,
        "no-store", u"405"_s);
    row("405 health", "POST /healthz HTTP/1.1\r\n" + end, "healthz", 405, html, "no-store",
        u"不支持该请求方法"_s);
    row("413 window", "GET /iii.asp HTTP/1.1\r\nContent-Length: 1\r\n" + end + "x", "lookup", 413,
        gbk, "no-store", u"413 请求内容过大\r\n"_s);
    row("400 without Host", "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", "other", 400, html,
        "no-store", u"请求无效"_s);
    row("414 page", "GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\n" + end, "other", 414, html,
        "no-store", u"网址过长"_s);
    row("431 page", "GET / HTTP/1.1\r\nX: " + QByteArray(9000, 'a') + "\r\n" + end, "other", 431,
        html, "no-store", u"请求头过大"_s);
}

void TestService::shouldSendTheHeadersOfEachKindOfAnswer()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, cacheControl);
    QFETCH(QString, error);
    QFETCH(QByteArray, label);
    const bool whole = !request.startsWith('/');
    const QByteArray target = whole ? request.split(' ').value(1) : request;
    const std::string counted = "zuno_http_requests_total{route=\"" + label.toStdString() +
        "\",code=\"" + std::to_string(status / 100) + "xx\"}";
    const double before = seriesValue(get("/metrics").rest, counted);
    const auto response =
        whole ? rawExchange(port_, request.toStdString()) : rawGet(port_, request.toStdString());
    QCOMPARE(response.status, status);
    // The scrape before counts in its own route's series once it is answered.
    QCOMPARE(seriesValue(get("/metrics").rest, counted) - std::max(before, 0.0),
             label == "metrics" ? 2 : 1);
    QVERIFY2(response.header("Server").starts_with("zuno-lookupd/"), response.head.c_str());
    QCOMPARE(response.header("Content-Type"), contentType.toStdString());
    QCOMPARE(response.header("Cache-Control"), cacheControl.toStdString());
    QCOMPARE(response.header("X-Content-Type-Options"), "nosniff");
    auto date = QDateTime::fromString(QString::fromStdString(response.header("Date")),
                                      u"ddd, dd MMM yyyy HH:mm:ss 'GMT'"_s);
    date.setTimeSpec(Qt::UTC);
    QVERIFY2(date.isValid() && qAbs(date.secsTo(QDateTime::currentDateTimeUtc())) < 60,
             response.head.c_str());

    const bool html = contentType.startsWith("text/html");
    const std::string policy = response.header("Content-Security-Policy");
    QCOMPARE(!policy.empty(), html);
    QCOMPARE(!response.header("Referrer-Policy").empty(), html);
    if (html)
        for (const char *part : {"default-src 'self'", "script-src 'none'", "form-action 'self'",
                                 "frame-ancestors 'none'"})
            QVERIFY2(policy.find(part) != std::string::npos, part);
    QCOMPARE(response.header("Access-Control-Allow-Origin"), target.startsWith("/api/") ? "*" : "");
    const bool file = status == 200 && (target.startsWith("/download/") || target.contains('.'));
    QCOMPARE(!response.header("ETag").empty() && !response.header("Last-Modified").empty() &&
                 response.header("Accept-Ranges") == "bytes",
             file && !target.toLower().startsWith("/iii"));

    const QByteArray body = QByteArray::fromStdString(response.rest);
    QCOMPARE(body.startsWith("<!DOCTYPE html>"), html);
    if (error.isEmpty())
        return;
    if (html)
        QVERIFY2(QString::fromUtf8(body).contains(u"<h2>%1 %2</h2>"_s.arg(status).arg(error)),
                 body);
    else if (contentType.startsWith("application/problem+json"))
        QVERIFY2(
            QJsonDocument::fromJson(body).object().value(u"error"_s).toString().contains(error),
            body);
    else
        QCOMPARE(QStringDecoder("GB18030").decode(body).operator QString(), error);
}

void TestService::shouldAnswerTheApiInValidJson_data()
{
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QString>("input");     // as the answer repeats it; null: not compared
    QTest::addColumn<QString>("location");  // empty: not a valid number
    const auto row = [](const char *name, const QByteArray &number, const QString &input,
                        const QString &location = {}) {
        QTest::newRow(name) << number << input << location;
    };
    row("+86, spaces as +", "%2B86+138+0013+8000", u"+86 138 0013 8000"_s, u"北京市"_s);
    row("empty", "", u""_s);
    row("quotes, backslash, controls", "%22a%5Cb%01%0A%7F%22", u"\"a\\b\u0001\n\u007f\""_s);
    row("invalid UTF-8 read as GBK", "%B1%B1%BE%A9%C2%B7", u"北京路"_s);
    row("bytes neither UTF-8 nor GBK", "%FF%FE%C0", QString());
}

void TestService::shouldAnswerTheApiInValidJson()
{
    QFETCH(QByteArray, number);
    QFETCH(QString, input);
    QFETCH(QString, location);
    const bool valid = !location.isEmpty();
    const auto response = rawGet(port_, "/api/v1/lookup?number=" + number.toStdString());
    QCOMPARE(response.status, 200);
    QJsonParseError error;
    const QJsonObject json =
        QJsonDocument::fromJson(QByteArray::fromStdString(response.rest), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    for (const QString &key : {u"input"_s, u"number"_s, u"e164"_s, u"valid"_s, u"location"_s,
                               u"areaCode"_s, u"carrier"_s, u"type"_s, u"owner"_s, u"message"_s})
        QVERIFY2(json.contains(key), qPrintable(key));
    if (!input.isNull())
        QCOMPARE(json.value(u"input"_s).toString(), input);
    QCOMPARE(json.value(u"valid"_s).toBool(), valid);
    QCOMPARE(json.value(u"location"_s).toString(), location);
    QCOMPARE(json.value(u"message"_s).isNull(), valid);
    if (valid)
        QCOMPARE(json.value(u"e164"_s).toString(), u"+8613800138000"_s);
}

void TestService::shouldAnswerTheFormWithAnEscapedPageAndTheFormAgain()
{
    const QString refused = text(rawGet(port_, "/lookup?number=%22%3E%3Cscript%3Ex%3C/script%3E"));
    QVERIFY(refused.contains(u"<p class=\"problem\">"_s));
    QVERIFY(refused.contains(u"value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;\""_s));
    QVERIFY(!refused.contains(u"<script"_s));
    QVERIFY(refused.contains(u"<form action=\"/lookup\""_s));
}

void TestService::shouldAnswerEachTypedFormOnThePageAndInTheApi_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("form");     // the API's "form"; empty: none, a whole number
    QTest::addColumn<QString>("type");     // the API's "type"
    QTest::addColumn<QString>("place");    // one of the API's "places", or its "location"
    QTest::addColumn<QString>("pageRow");  // a row of the result page
    const auto row = [](const char *name, const QString &typed, const char *form,
                        const QString &type, const QString &place, const QString &pageRow) {
        QTest::newRow(name) << typed << QString::fromUtf8(form) << type << place << pageRow;
    };
    row("area code: every place, not shortened", u"0851"_s, "areaCode", u"区号"_s,
        u"贵州省遵义市 0851"_s, u"<tr><td>贵州省遵义市</td><td>0851</td></tr>"_s);
    row("name of a place with two codes", u"资阳"_s, "placeName", u"地名"_s, u"四川省资阳市 0832"_s,
        u"<tr><td>四川省资阳市</td><td>028</td></tr>"_s);
    row("Hong Kong's calling code", u"香港"_s, "placeName", u"地名"_s, u"中国香港 +852"_s,
        u"<tr><td>中国香港</td><td>+852</td></tr>"_s);
    row("block", u"1380013"_s, "block", u"手机号段"_s, u"北京市"_s,
        u"<tr><th>号段</th><td>138 0013</td></tr>"_s);
    row("extension", u"010-12345678转123"_s, "number", u"固定电话"_s, u"北京市"_s,
        u"<tr><th>分机</th><td>123</td></tr>"_s);
    row("whole number, as before", u"13800138000"_s, "", u"手机号码"_s, u"北京市"_s,
        u"<tr><th>号码</th><td>138 0013 8000</td></tr>"_s);
}

void TestService::shouldAnswerEachTypedFormOnThePageAndInTheApi()
{
    QFETCH(QString, typed);
    QFETCH(QString, form);
    QFETCH(QString, type);
    QFETCH(QString, place);
    QFETCH(QString, pageRow);
    const std::string query = "?number=" + typed.toUtf8().toPercentEncoding().toStdString();
    const QJsonObject json =
        QJsonDocument::fromJson(QByteArray::fromStdString(get("/api/v1/lookup" + query).rest))
            .object();
    QCOMPARE(json.value(u"form"_s).toString(), form);
    QCOMPARE(json.value(u"type"_s).toString(), type);
    QVERIFY(json.value(u"valid"_s).toBool());
    QStringList places;
    for (const QJsonValue &each : json.value(u"places"_s).toArray())
        places << each[u"location"_s].toString() + u' ' + each[u"areaCode"_s].toString();
    QVERIFY2(places.contains(place) || json.value(u"location"_s).toString() == place,
             qPrintable(places.join(u',')));
    // A place of two codes is one place.
    QVERIFY(!json.value(u"location"_s).toString().contains(place.section(u' ', 0, 0) + u'、'));
    const QString page = text(get("/lookup" + query));
    QVERIFY2(page.contains(pageRow), qPrintable(page));
    // The page lists every place the API does.
    for (const QJsonValue &each : json.value(u"places"_s).toArray())
        QVERIFY(page.contains(u"<tr><td>"_s + each[u"location"_s].toString() + u"</td><td>"_s +
                              each[u"areaCode"_s].toString() + u"</td></tr>"_s));
    // The home page says what may be typed: an area code like this row's, a block, a city.
    if (!form.isEmpty() && form != u"number"_s)
        QVERIFY(text(get("/")).contains(u"区号（如 0851）、城市名（如 成都）和号段（如 1380013、199）"_s));
}

void TestService::shouldListPackagesWithTheirFieldsAndNewestVersion()
{
    const QString page = homePageOnceDigested();
    QVERIFY(page.contains(u"最新版本：<strong>1.10</strong>"_s));
    QVERIFY(page.contains(u"软件包 zuno-lookup 1.10~rc1（amd64）：ZUNO &lt;lookup&gt; &amp; "
                          "&quot;window&quot;</span>"_s));
    QVERIFY(page.contains(u"<a href=\"/download/%E4%BD%BF%E7%94%A8%E8%AF%B4%E6%98%8E.txt\" "
                          "download>使用说明.txt</a>"_s));
    for (const QString &absent : {u".hidden"_s, u"link.txt"_s, u"pipe.deb"_s, u"setup"_s})
        QVERIFY2(!page.contains(absent), qPrintable(absent));
    QVERIFY(page.contains(u"软件包 zuno-lookup 1.0（amd64）"_s));
    // Pasted into a shell, each line installs the one file it names.
    for (const QString &line :
         {u"./&#39;$(touch${IFS}pwned);x.deb&#39;</pre>"_s,
          u"./&#39;with space_2.0.deb&#39;</pre>"_s, u"./zuno-lookup_1.10_amd64.deb</pre>"_s})
        QVERIFY2(page.contains(u"<pre>sudo apt install "_s + line), qPrintable(line));

    // A file added later is listed once the folder settles.
    QVERIFY(writeFile(folder() + u"/added.txt"_s, "new"));
    QTRY_VERIFY_WITH_TIMEOUT(text(rawGet(port_, "/")).contains(u"added.txt"_s), 10000);
    QVERIFY(QFile::remove(folder() + u"/added.txt"_s));
    QTRY_VERIFY_WITH_TIMEOUT(!text(rawGet(port_, "/")).contains(u"added.txt"_s), 10000);
}

void TestService::shouldSayNoPackageIsOfferedWhenThereAreNone()
{
    const Site site;  // no download folder at all
    const QString page = text(rawGet(startServer(site)->localEndpoint().port(), "/"));
    QVERIFY(page.contains(u"暂时没有提供安装包"_s) && !page.contains(u"make"_s));
    QVERIFY(!page.contains(u"最新版本"_s));
}

void TestService::shouldShowTheVersionRecordOfWindowsFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");  // empty: a zip of windowsProgram(2, 1, 0, 0)
    QTest::addColumn<QString>("note");      // empty: listed with no version
    const QByteArray program = windowsProgram(1, 2, 3, 4);
    QTest::newRow("installer") << u"zuno-lookup-1.00-setup.exe"_s << windowsProgram(1, 0, 0, 0)
                               << u"Windows 程序 1.0<"_s;
    QTest::newRow("a name that lies")
        << u"zuno-lookup-9.9-setup.exe"_s << program << u"Windows 程序 1.2.3.4<"_s;
    QTest::newRow("portable zip") << u"zuno-lookup-2.1.zip"_s << QByteArray()
                                  << u"Windows 免安装版 2.1<"_s;
    QTest::newRow("cut inside its version record")
        << u"cut.exe"_s << program.left(0x290) << QString();
    QTest::newRow("record placed past the end")
        << u"far.exe"_s << windowsProgram(1, 2, 3, 4, 0xFFFFFFF0) << QString();
    QByteArray sections = program;
    sections[0x46] = char(0xFF);  // 65535 sections claimed
    sections[0x47] = char(0xFF);
    QTest::newRow("sections past any limit") << u"many.exe"_s << sections << QString();
    QByteArray small = program;
    small[0x200 + 0x4C] = 40;  // the record said to end inside its fixed part
    QTest::newRow("a record too small") << u"small.exe"_s << small << QString();
    QTest::newRow("not a zip") << u"fake.zip"_s << kInstaller << QString();
}

void TestService::shouldShowTheVersionRecordOfWindowsFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, note);
    QTemporaryDir folder;
    const QString path = folder.filePath(name);
    if (bytes.isEmpty()) {
        QVERIFY(writeFile(folder.filePath(u".program"_s), windowsProgram(2, 1, 0, 0)));
        QVERIFY(zipProgram(folder.filePath(u".program"_s), path));
    } else {
        QVERIFY(writeFile(path, bytes));
    }
    const Site site(DownloadFolder(folder.path().toStdString()));
    const auto server = startServer(site);
    QString page;
    for (int i = 0; i < 100 && !page.contains(u"<code>"_s); ++i, QTest::qWait(50))
        page = text(rawGet(server->localEndpoint().port(), "/"));
    const QString row =
        page.section(u"download>"_s + name + u"</a>"_s, 1).section(u"</tr>"_s, 0, 0);
    QVERIFY2(row.contains(u"<code>"_s), qPrintable(page));  // listed, with its SHA-256
    if (note.isEmpty())
        QVERIFY2(!row.contains(u"Windows"_s), qPrintable(row));
    else
        QVERIFY2(row.contains(note), qPrintable(row));
}

void TestService::shouldOfferTheVisitorsOwnSystemFirst_data()
{
    QTest::addColumn<QByteArray>("userAgent");
    QTest::addColumn<QStringList>("order");
    const QStringList debianFirst{u"b.deb"_s, u"a-setup.exe"_s, u"c.zip"_s, u"0.txt"_s};
    const QStringList windowsFirst{u"a-setup.exe"_s, u"c.zip"_s, u"b.deb"_s, u"0.txt"_s};
    QTest::newRow("Windows 10") << "Mozilla/5.0 (Windows NT 10.0; Win64; x64) Chrome/120"_ba
                                << windowsFirst;
    QTest::newRow("Linux") << "Mozilla/5.0 (X11; Linux x86_64) Firefox/120"_ba << debianFirst;
    QTest::newRow("no User-Agent") << QByteArray() << debianFirst;
}

void TestService::shouldOfferTheVisitorsOwnSystemFirst()
{
    QFETCH(QByteArray, userAgent);
    QFETCH(QStringList, order);
    QTemporaryDir folder;
    QVERIFY(buildPackage(folder.path(), u"1.0"_s, u"gzip"_s, folder.filePath(u"b.deb"_s)));
    QVERIFY(QDir(folder.filePath(u"tree-gzip"_s)).removeRecursively());
    QVERIFY(writeFile(folder.filePath(u"a-setup.exe"_s), windowsProgram(1, 0, 0, 0)));
    QVERIFY(writeFile(folder.filePath(u"0.txt"_s), "read me"));
    QVERIFY(zipProgram(folder.filePath(u"a-setup.exe"_s), folder.filePath(u"c.zip"_s)));
    const Site site(DownloadFolder(folder.path().toStdString()));
    const auto server = startServer(site);
    QTRY_VERIFY_WITH_TIMEOUT(site.downloads().listing()->shown.size() == 4, 10000);
    const std::string headers =
        userAgent.isEmpty() ? std::string() : "User-Agent: " + userAgent.toStdString() + "\r\n";
    const RawResponse response = rawGet(server->localEndpoint().port(), "/", headers);
    QCOMPARE(response.header("Vary"), "User-Agent");
    const QString page = text(response);
    qsizetype last = -1;
    for (const QString &name : order) {
        const qsizetype at = page.indexOf(u"download>"_s + name + u"</a>"_s);
        QVERIFY2(at > last, qPrintable(name));
        last = at;
    }
}

void TestService::shouldKeepTheHomePageSmallAndQuickWithTwentyThousandFiles()
{
    const QString many = root_.filePath(u"many"_s);
    QVERIFY(QDir().mkpath(many));
    for (int i = 0; i < 20000; ++i)
        QVERIFY(writeFile(many + u"/file-%1.bin"_s.arg(i, 5, 10, QChar(u'0')), "x"));
    const Site site(DownloadFolder(many.toStdString()));
    const auto server = startServer(site);
    QTRY_VERIFY_WITH_TIMEOUT(site.downloads().listing()->scanned, 10000);
    QElapsedTimer clock;
    clock.start();
    constexpr int kRequests = 20;
    RawResponse response;
    for (int i = 0; i < kRequests; ++i)
        response = rawGet(server->localEndpoint().port(), "/");
    QVERIFY2(clock.elapsed() / kRequests < 50, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(response.rest.size() < 32 * 1024, qPrintable(QString::number(response.rest.size())));
    QVERIFY(text(response).contains(
        u"共有 20000 个文件，这里列出前 %1 个"_s.arg(DownloadFolder::kMaxShown)));
    QCOMPARE(rawGet(server->localEndpoint().port(), "/download/file-19999.bin").rest, "x");
}

void TestService::shouldFollowFilesAndTheFolderAsTheyChange_data()
{
    QTest::addColumn<bool>("inotify");
    QTest::newRow("inotify") << true;
    QTest::newRow("checking every second") << false;
}

// The path offered is a link to a release folder, as deploy tools lay it out.
void TestService::shouldFollowFilesAndTheFolderAsTheyChange()
{
    QFETCH(bool, inotify);
    const QDir root(root_.filePath(inotify ? u"follow-inotify"_s : u"follow-polling"_s));
    QVERIFY(QDir().mkpath(root.filePath(u"v1"_s)) && QDir().mkpath(root.filePath(u"v2"_s)));
    QVERIFY(writeFile(root.filePath(u"v1/a.txt"_s), "one"));
    QVERIFY(writeFile(root.filePath(u"v2/b.txt"_s), "two"));
    QVERIFY(QFile::link(u"v1"_s, root.filePath(u"current"_s)));
    if (!inotify)
        qputenv(zuno::service::FolderWatcher::kPollingVariable, "1");
    const Site site(DownloadFolder(root.filePath(u"current"_s).toStdString()));
    qunsetenv(zuno::service::FolderWatcher::kPollingVariable);
    const auto server = startServer(site);
    const quint16 port = server->localEndpoint().port();
    const auto listed = [&](const QString &needle) {
        QElapsedTimer clock;
        clock.start();
        while (!text(rawGet(port, "/")).contains(needle) && clock.elapsed() < 10'000)
            QTest::qWait(100);
        return text(rawGet(port, "/")).contains(needle);
    };
    // SHA-256 of "one", then of "one, rewritten in place"
    QVERIFY(listed(u"7692c3ad3540bb803c020b3aee66cd8887123234ea0c6e7143c0add73ff431ed"_s));
    QFile rewritten(root.filePath(u"v1/a.txt"_s));
    QVERIFY(rewritten.open(QIODevice::ReadWrite) && rewritten.seek(3) &&
            rewritten.write(", rewritten in place") == 20);
    rewritten.close();
    QVERIFY(listed(u"23 字节"_s));
    QVERIFY(listed(QString::fromLatin1(
        QCryptographicHash::hash("one, rewritten in place", QCryptographicHash::Sha256).toHex())));

    // The link swapped to another folder, then that folder removed and made again
    QVERIFY(QFile::remove(root.filePath(u"current"_s)));
    QVERIFY(QFile::link(u"v2"_s, root.filePath(u"current"_s)));
    QVERIFY(listed(u"b.txt"_s));
    QCOMPARE(rawGet(port, "/download/b.txt").rest, "two");
    QVERIFY(QDir(root.filePath(u"v2"_s)).removeRecursively());
    QVERIFY(QDir().mkpath(root.filePath(u"v2"_s)));
    QVERIFY(writeFile(root.filePath(u"v2/c.txt"_s), "three"));
    QVERIFY(listed(u"c.txt"_s));
    QCOMPARE(rawGet(port, "/download/c.txt").rest, "three");
}

void TestService::shouldHonourValidatorsAndRanges_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");  // ETAG and DATE stand for the file's own
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    const QByteArray zip("/download/zuno-1.2.zip");  // 26 bytes
    const auto row = [&](const char *name, const QByteArray &headers, int status,
                         const QByteArray &range, const QByteArray &target = {}) {
        QTest::newRow(name) << (target.isEmpty() ? zip : target) << headers << status << range;
    };
    // Validators
    row("If-None-Match, same tag", "If-None-Match: ETAG\r\n", 304, "");
    row("If-None-Match, weak and in a list", "If-None-Match: \"x\", W/ETAG\r\n", 304, "");
    row("If-None-Match *", "If-None-Match: *\r\n", 304, "");
    row("If-None-Match, other tag", "If-None-Match: \"other\"\r\n", 200, "");
    row("If-None-Match garbage", "If-None-Match: ,,\"unterminated\r\n", 200, "");
    row("If-Modified-Since, same date", "If-Modified-Since: DATE\r\n", 304, "");
    row("If-Modified-Since, later RFC 850 date",
        "If-Modified-Since: Sunday, 06-Nov-22 08:49:37 GMT\r\n", 304, "");
    row("If-Modified-Since, later asctime date", "If-Modified-Since: Sun Nov  6 08:49:37 2022\r\n",
        304, "");
    row("If-Modified-Since in the future", "If-Modified-Since: Sun, 06 Nov 2050 08:49:37 GMT\r\n",
        200, "");
    row("If-Modified-Since, earlier date", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n",
        200, "");
    row("If-Modified-Since garbage", "If-Modified-Since: yesterday\r\n", 200, "");
    row("other tag beats a matching date",
        "If-None-Match: \"other\"\r\nIf-Modified-Since: DATE\r\n", 200, "");
    row("If-Match, same tag", "If-Match: ETAG\r\n", 200, "");
    row("If-Match *", "If-Match: *\r\n", 200, "");
    row("If-Match, other tag", "If-Match: \"other\"\r\n", 412, "");
    row("If-Match, weak", "If-Match: W/ETAG\r\n", 412, "");
    row("If-Unmodified-Since, same date", "If-Unmodified-Since: DATE\r\n", 200, "");
    row("If-Unmodified-Since, earlier date",
        "If-Unmodified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n", 412, "");
    row("If-Match beats an earlier date",
        "If-Match: ETAG\r\nIf-Unmodified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n", 200, "");
    // Ranges
    row("first bytes", "Range: bytes=0-1\r\n", 206, "bytes 0-1/26");
    row("open end", "Range: bytes=20-\r\n", 206, "bytes 20-25/26");
    row("end past the file", "Range: bytes=20-1000\r\n", 206, "bytes 20-25/26");
    row("suffix", "Range: bytes=-3\r\n", 206, "bytes 23-25/26");
    row("suffix longer than the file", "Range: bytes=-100\r\n", 206, "bytes 0-25/26");
    row("start past the end", "Range: bytes=26-\r\n", 416, "bytes */26");
    row("empty suffix", "Range: bytes=-0\r\n", 416, "bytes */26");
    row("reversed", "Range: bytes=5-2\r\n", 200, "");
    row("not numbers", "Range: bytes=a-b\r\n", 200, "");
    row("last byte past 64 bits", "Range: bytes=0-99999999999999999999\r\n", 206, "bytes 0-25/26");
    row("first byte past 64 bits", "Range: bytes=99999999999999999999-\r\n", 416, "bytes */26");
    row("unit in capitals", "Range: BYTES=0-1\r\n", 206, "bytes 0-1/26");
    row("several ranges", "Range: bytes=0-1,4-5\r\n", 200, "");
    row("other unit", "Range: items=0-1\r\n", 200, "");
    row("If-Range, same tag", "Range: bytes=0-1\r\nIf-Range: ETAG\r\n", 206, "bytes 0-1/26");
    row("If-Range, other tag", "Range: bytes=0-1\r\nIf-Range: \"other\"\r\n", 200, "");
    row("icon range", "Range: bytes=0-3\r\n", 206, "bytes 0-3/3774", "/favicon.ico");
    row("icon revalidated", "If-None-Match: ETAG\r\n", 304, "", "/favicon.ico");
}

void TestService::shouldHonourValidatorsAndRanges()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    const auto plain = rawGet(port_, target.toStdString());
    headers.replace("ETAG", QByteArray::fromStdString(plain.header("ETag")))
        .replace("DATE", QByteArray::fromStdString(plain.header("Last-Modified")));
    const auto response = rawGet(port_, target.toStdString(), headers.toStdString());
    QCOMPARE(response.status, status);
    QCOMPARE(response.header("Content-Range"), contentRange.toStdString());
    if (status == 304)
        QVERIFY(response.rest.empty() && response.header("ETag") == plain.header("ETag"));
    if (status == 200)
        QCOMPARE(response.rest, plain.rest);
    if (status == 206) {
        const auto numbers =
            QRegularExpression(u"bytes (\\d+)-(\\d+)/"_s).match(QString::fromLatin1(contentRange));
        const int first = numbers.captured(1).toInt();
        QCOMPARE(response.rest, plain.rest.substr(first, numbers.captured(2).toInt() - first + 1));
    }
}

void TestService::shouldServeOnlyRegularFilesInsideTheFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("served");  // empty: refused with 404
    QTest::newRow("installer") << "/download/zuno-1.2.zip"_ba << kInstaller;
    QTest::newRow("escaped UTF-8 name") << "/download/%E4%BD%BF%E7%94%A8%E8%AF%B4%E6%98%8E.txt"_ba
                                        << "read me"_ba;
    QTest::newRow("all escaped") << "/download/%2E%2E%2Fsecret.txt"_ba << QByteArray();
    QTest::newRow("escaped dot dot") << "/download/%2E%2E"_ba << QByteArray();
    QTest::newRow("backslash") << "/download/..%5Csecret.txt"_ba << QByteArray();
    QTest::newRow("absolute path") << "/download/%2Fetc%2Fpasswd"_ba << QByteArray();
    QTest::newRow("NUL byte") << "/download/zuno-1.2.zip%00.txt"_ba << QByteArray();
    QTest::newRow("invalid UTF-8") << "/download/%FF%FE.txt"_ba << QByteArray();
    QTest::newRow("symbolic link out") << "/download/link.txt"_ba << QByteArray();
    QTest::newRow("hidden file") << "/download/.hidden"_ba << QByteArray();
    QTest::newRow("FIFO") << "/download/pipe.deb"_ba << QByteArray();
    QTest::newRow("right-to-left override") << "/download/setup%E2%80%AEgnp.exe"_ba << QByteArray();
    QTest::newRow("the folder itself") << "/download/"_ba << QByteArray();
    QTest::newRow("no such file") << "/download/gone.zip"_ba << QByteArray();
}

void TestService::shouldServeOnlyRegularFilesInsideTheFolder()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, served);
    const auto response = rawGet(port_, target.toStdString());
    QCOMPARE(response.status, served.isEmpty() ? 404 : 200);
    QVERIFY(!QByteArray::fromStdString(response.rest).contains(kSecret));
    if (!served.isEmpty())
        QCOMPARE(QByteArray::fromStdString(response.rest), served);
}

void TestService::shouldNeverServeOutsideTheFolderWhileANameIsSwapped()
{
    // race.txt turns into a regular file, a link to the secret and a FIFO, over and over.
    const QByteArray race = QFile::encodeName(folder() + u"/race.txt"_s);
    const QByteArray staged = QFile::encodeName(folder() + u"/.staged"_s);
    const QByteArray secret = QFile::encodeName(root_.filePath(u"secret.txt"_s));
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        for (int i = 0; !stop; ++i) {
            ::unlink(staged.constData());
            if (i % 3 == 0)
                writeFile(QFile::decodeName(staged), "inside");
            else if (i % 3 == 1)
                ::symlink(secret.constData(), staged.constData());
            else
                ::mkfifo(staged.constData(), 0600);
            ::rename(staged.constData(), race.constData());
        }
    });
    QElapsedTimer clock;
    clock.start();
    int served = 0, requests = 0;
    while (clock.elapsed() < 3000) {
        const auto response = rawGet(port_, "/download/race.txt");
        ++requests;
        QVERIFY2(response.status == 200 || response.status == 404, response.head.c_str());
        QVERIFY(response.closedByServer);
        QVERIFY(QByteArray::fromStdString(response.rest) != kSecret);
        served += response.status == 200;
    }
    stop = true;
    swapper.join();
    QVERIFY(::unlink(race.constData()) == 0);
    QVERIFY2(served > 0 && served < requests, qPrintable(u"%1 of %2"_s.arg(served).arg(requests)));
    QCOMPARE(rawGet(port_, "/iii.asp?title=110").status, 200);
}

void TestService::shouldEndTheAnswerWhenTheFileShrinksWhileSent()
{
    const QString path = folder() + u"/shrinking.bin"_s;
    constexpr qint64 kSize = 256 * 1024 * 1024;
    QVERIFY(writeFile(path, "start") && QFile::resize(path, kSize));
    asio::io_context context;
    RawSocket socket = rawConnect(context, port_);
    rawSend(socket, "GET /download/shrinking.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    char chunk[65536];
    asio::read(socket, asio::buffer(chunk));
    QVERIFY(QFile::resize(path, 1024 * 1024));
    QElapsedTimer clock;
    clock.start();
    boost::system::error_code error;
    const size_t received = sizeof chunk + readToEnd(socket, &error).size();
    QCOMPARE(error, asio::error::eof);
    // Ended by the short read itself, not by the connection's 10 s deadline.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(received < kSize, qPrintable(QString::number(received)));
    QVERIFY(QFile::remove(path));
    // Deleted between listing and request, and the service goes on.
    QCOMPARE(rawGet(port_, "/download/shrinking.bin").status, 404);
    QCOMPARE(rawGet(port_, "/iii.asp?title=110").status, 200);
}

void TestService::shouldServeAndDigestATwoGibibyteFileWithoutHoldingUpLookups()
{
    const QString path = folder() + u"/sparse.img"_s;
    constexpr qint64 kSize = 2LL * 1024 * 1024 * 1024;
    QVERIFY(writeFile(path, {}) && QFile::resize(path, kSize));
    QTRY_VERIFY_WITH_TIMEOUT(text(rawGet(port_, "/")).contains(u"sparse.img"_s), 10000);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(rawGet(port_, "/iii.asp?title=13800138000").status, 200);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    const auto tail = rawGet(port_, "/download/sparse.img", "Range: bytes=-8\r\n");
    QCOMPARE(tail.header("Content-Range"), "bytes 2147483640-2147483647/2147483648");
    QCOMPARE(tail.rest, std::string(8, '\0'));
    const auto head = rawExchange(
        port_, "HEAD /download/sparse.img HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(head.header("Content-Length"), "2147483648");
    QVERIFY(homePageOnceDigested().contains(kTwoGibibytesOfZeros));
    QVERIFY(QFile::remove(path));
}

// The window's client reads the reply as GB2312 (an ICU table, not the service's own codec).
void TestService::shouldAnswerTheWindowsClientInGbkWithCrlfLines()
{
    const QString mobile =
        u"号码：138 0013 8000 手机号码\r\n归属地：北京市\r\n运营商：中国移动 区号：010"_s;
    const auto text = [this](const QString &typed) {
        return QString::fromStdU16String(zuno::GetBody(lookupUrl(typed)).toText());
    };
    QCOMPARE(text(u"13800138000"_s), mobile);
    QCOMPARE(text(u"＋８６－１３８－００１３－８０００"_s), mobile);
    QCOMPARE(text(u"(0755)12345678"_s),
             u"号码：0755 1234 5678 固定电话\r\n归属地：广东省深圳市\r\n区号：0755"_s);
}

void TestService::shouldAnswerHeadWithTheHeaderOfGetAndNoBody()
{
    const auto get = this->get("/iii.asp?title=010-12345678");
    // HEAD, then GET on the same connection: the GET's answer must follow the HEAD's header.
    const auto head = rawExchange(port_,
                                  "HEAD /iii.asp?title=010-12345678 HTTP/1.1\r\nHost: x\r\n\r\n"
                                  "GET /iii.asp?title=010-12345678 HTTP/1.1\r\nHost: x\r\n"
                                  "Connection: close\r\n\r\n");
    QCOMPARE(head.status, 200);
    QCOMPARE(head.header("Content-Length"), std::to_string(get.rest.size()));
    QCOMPARE(head.header("Content-Type"), get.header("Content-Type"));
    QVERIFY2(head.rest.starts_with("HTTP/1.1 200 OK\r\n"), head.rest.c_str());
    QVERIFY(head.rest.ends_with("\r\n\r\n" + get.rest));
}

void TestService::shouldRefuseWhatItDoesNotServe_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray end("Host: x\r\nConnection: close\r\n\r\n");

    QTest::newRow("DELETE") << "DELETE / HTTP/1.1\r\n" + end << 405;
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
    QTest::newRow("HTTP/1.1 without Host")
        << "GET /iii.asp?title=110 HTTP/1.1\r\nConnection: close\r\n\r\n" + smuggled << 400;
    QTest::newRow("two Host fields")
        << "GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\n" + end + smuggled << 400;
    QTest::newRow("Connection: close in a second Connection line")
        << "GET /iii.asp?title=110 HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n"
           "Connection: close\r\n\r\n" +
            smuggled
        << 200;
    QTest::newRow("not HTTP") << QByteArray("HELLO\r\n\r\n") << 400;
    QTest::newRow("bad version") << "GET / HTTP/9\r\n" + end << 400;
    QTest::newRow("space in the target") << "GET /iii asp HTTP/1.1\r\n" + end << 400;
    QTest::newRow("not a path") << "GET iii.asp HTTP/1.1\r\n" + end << 400;
    QTest::newRow("request line just under 8 KiB")
        << "GET /iii.asp?title=" + QByteArray(8000, '1') + " HTTP/1.1\r\n" + end << 200;
    QTest::newRow("request line over 8 KiB")
        << "GET /iii.asp?title=" + QByteArray(8200, '1') + " HTTP/1.1\r\n" + end << 414;
}

void TestService::shouldRefuseWhatItDoesNotServe()
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

void TestService::shouldCloseIdleAndTricklingConnectionsAtTheDeadline()
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

void TestService::shouldAcceptEveryRequestLineFormItMust_data()
{
    QTest::addColumn<QByteArray>("requestLine");
    QTest::addColumn<QByteArray>("sameAs");  // the origin-form target answered alike
    const auto row = [](const char *name, const QByteArray &line, const QByteArray &sameAs) {
        QTest::newRow(name) << line << sameAs;
    };
    row("absolute form", "GET http://x/iii.asp?title=110 HTTP/1.1\r\n", "/iii.asp?title=110");
    row("absolute form, upper-case https", "GET HTTPS://x:443/iii.asp?title=110 HTTP/1.1\r\n",
        "/iii.asp?title=110");
    row("absolute form without path", "GET http://x HTTP/1.1\r\n", "/");
    row("absolute form, query only", "GET http://x?title=110 HTTP/1.1\r\n", "/?title=110");
    row("empty line first", "\r\nGET /iii.asp?title=110 HTTP/1.1\r\n", "/iii.asp?title=110");
    row("bare LF and CRLF first", "\n\r\nGET /iii.asp?title=120 HTTP/1.1\r\n",
        "/iii.asp?title=120");
    // Full-width "１３８００１３８０００" as raw GBK bytes, unescaped, as older clients send it.
    row("raw GBK in the target",
        "GET /iii.asp?title=\xa3\xb1\xa3\xb3\xa3\xb8\xa3\xb0\xa3\xb0\xa3\xb1"
        "\xa3\xb3\xa3\xb8\xa3\xb0\xa3\xb0\xa3\xb0 HTTP/1.1\r\n",
        "/iii.asp?title=13800138000");
}

void TestService::shouldAcceptEveryRequestLineFormItMust()
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

void TestService::shouldCutAClientThatKeepsSendingAfterItsLastAnswer()
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

void TestService::shouldSendToASlowReaderAsLongAsItProgresses()
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

void TestService::shouldReadTheBodiesARouteTakesWithinItsLimit_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");  // the first answer's body, or a part of an error's
    QTest::addColumn<QByteArray>("then");    // what the output ends with, after further answers
    const QByteArray post("POST /echo HTTP/1.1\r\nHost: x\r\n"), end("Connection: close\r\n\r\n");
    QTest::newRow("Content-Length") << post + "Content-Length: 5\r\n" + end + "hello" << 200
                                    << QByteArray("hello") << QByteArray();
    QTest::newRow("chunked") << post + "Transfer-Encoding: chunked\r\n" + end +
            "5\r\nhello\r\n3\r\n wo\r\n0\r\n\r\n"
                             << 200 << QByteArray("hello wo") << QByteArray();
    QTest::newRow("at the limit") << post + "Content-Length: 16\r\n" + end + QByteArray(16, 'b')
                                  << 200 << QByteArray(16, 'b') << QByteArray();
    QTest::newRow("then a GET on the same connection")
        << post + "Content-Length: 3\r\n\r\nabcGET /now HTTP/1.1\r\nHost: x\r\n" + end << 200
        << QByteArray("abc") << QByteArray("\r\n\r\nnow");
    // Refused from the head alone: the body is never waited for.
    QTest::newRow("Content-Length past the limit, never sent")
        << post + "Content-Length: 17\r\n" + end << 413 << QByteArray("413") << QByteArray();
    QTest::newRow("chunked past the limit") << post + "Transfer-Encoding: chunked\r\n" + end +
            "a\r\n0123456789\r\n" + "a\r\n0123456789\r\n0\r\n\r\n"
                                            << 413 << QByteArray("413") << QByteArray();
    QTest::newRow("chunk size not hex")
        << post + "Transfer-Encoding: chunked\r\n" + end + "zz\r\nhello\r\n0\r\n\r\n"
        << 400 << QByteArray("400") << QByteArray();
    QTest::newRow("GET where POST is taken")
        << "GET /echo HTTP/1.1\r\nHost: x\r\n" + end << 405 << QByteArray("405") << QByteArray();
    QTest::newRow("POST where none is taken")
        << "POST /now HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n" + end + "hi" << 405
        << QByteArray("405") << QByteArray();
}

void TestService::shouldReadTheBodiesARouteTakesWithinItsLimit()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, then);
    const TestSite site(1);
    QElapsedTimer clock;
    clock.start();
    const auto response = rawExchange(site.port, request.toStdString());
    QCOMPARE(response.status, status);
    QVERIFY(response.closedByServer);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    if (status == 200)
        QVERIFY2(response.rest.starts_with(answer.toStdString()), response.rest.c_str());
    else
        QVERIFY2(response.rest.find(answer.toStdString()) != std::string::npos,
                 response.rest.c_str());
    QVERIFY2(response.rest.ends_with(then.isEmpty() ? answer.toStdString() : then.toStdString()) ||
                 status != 200,
             response.rest.c_str());
    if (status == 405)
        QCOMPARE(response.header("Allow"), request.startsWith("GET") ? "POST" : "GET, HEAD");
}

void TestService::shouldAnswerContinueBeforeTheBodyAndNotWhenRefused()
{
    const TestSite site(1);
    asio::io_context context;
    RawSocket socket = rawConnect(context, site.port);
    rawSend(socket,
            "POST /echo HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
            "Content-Length: 5\r\nConnection: close\r\n\r\n");
    const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    std::string interim(kContinue.size(), '\0');
    asio::read(socket, asio::buffer(interim));
    QCOMPARE(interim, kContinue);
    rawSend(socket, "hello");
    const std::string answer = readToEnd(socket);
    QVERIFY2(answer.starts_with("HTTP/1.1 200 OK\r\n") && answer.ends_with("\r\n\r\nhello"),
             answer.c_str());

    const auto refused = rawExchange(site.port,
                                     "POST /echo HTTP/1.1\r\nHost: x\r\n"
                                     "Expect: 100-continue\r\nContent-Length: 17\r\n\r\n");
    QCOMPARE(refused.status, 413);
    QVERIFY(refused.closedByServer);
}

void TestService::shouldSendLaterAnswersInRequestOrder()
{
    const TestSite site(2);
    const auto request = [](const char *target, const char *fields = "") {
        return "GET " + std::string(target) + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n";
    };
    const auto response =
        rawExchange(site.port,
                    request("/later?300") + request("/now") + request("/later?0") +
                        request("/later?drop") + request("/now"));
    QCOMPARE(response.status, 200);
    QVERIFY(response.closedByServer);
    // Each answer after the one before, a dropped one as 500 in its place, which ends the
    // connection as any failure does.
    QVERIFY2(response.rest.starts_with("300"), response.rest.c_str());
    size_t at = 0;
    for (const char *part : {"\r\n\r\nnow", "\r\n\r\n0", "HTTP/1.1 500 "}) {
        at = response.rest.find(part, at);
        QVERIFY2(at != std::string::npos, part);
    }
    QVERIFY(response.rest.find("\r\n\r\nnow", at) == std::string::npos);
}

void TestService::shouldServeOtherConnectionsWhileAnAnswerIsPending()
{
    // One thread, and a request deadline far shorter than the work.
    const TestSite site(1, 300ms);
    asio::io_context context;
    RawSocket waiting = rawConnect(context, site.port);
    QElapsedTimer clock;
    clock.start();
    rawSend(waiting, "GET /later?1000 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(rawGet(site.port, "/now").rest, "now");
    QVERIFY2(clock.elapsed() < 900, qPrintable(QString::number(clock.elapsed())));
    const std::string answer = readToEnd(waiting);
    QVERIFY2(answer.starts_with("HTTP/1.1 200 OK\r\n") && answer.ends_with("\r\n\r\n1000"),
             answer.c_str());
    QVERIFY(clock.elapsed() >= 1000);
}

void TestService::shouldFinishALaterAnswerWhenDrainingThenClose()
{
    TestSite site(2);
    asio::io_context context;
    RawSocket waiting = rawConnect(context, site.port);
    rawSend(waiting, "GET /later?500 HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    QCOMPARE(::kill(::getpid(), SIGUSR2), 0);
    boost::system::error_code ended;
    const std::string answer = readToEnd(waiting, &ended);
    QVERIFY2(answer.starts_with("HTTP/1.1 200 OK\r\n") &&
                 answer.find("\r\nConnection: close\r\n") != std::string::npos &&
                 answer.ends_with("\r\n\r\n500"),
             answer.c_str());
    QCOMPARE(ended, asio::error::eof);
    // With nothing left in flight, the drain has stopped the server.
    RawSocket late(context);
    boost::system::error_code refused;
    late.connect({asio::ip::make_address("127.0.0.1"), site.port}, refused);
    QVERIFY(refused);
}

void TestService::shouldCountRequestsAndLookupsInPrometheusText()
{
    const std::string before = get("/metrics").rest;
    // Refused for its empty lines before its request line: timed from then, not from 0.
    const auto refused = rawExchange(port_, std::string(9000, '\n') + "GET / HTTP/1.1\r\n\r\n");
    QCOMPARE(refused.status, 400);
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
             {"zuno_http_requests_total{route=\"other\",code=\"4xx\"}", 2},
             {"zuno_http_request_duration_seconds_count", 7},
             {"zuno_http_connections_total", 7}})
        QVERIFY2(seriesValue(after, series) - seriesValue(before, series) == added, series.c_str());
    const double taken = seriesValue(after, "zuno_http_request_duration_seconds_sum") -
        seriesValue(before, "zuno_http_request_duration_seconds_sum");
    QVERIFY2(taken >= 0 && taken < 5, qPrintable(QString::number(taken)));
    QVERIFY(seriesValue(after, "zuno_http_response_bytes_total") >
            seriesValue(before, "zuno_http_response_bytes_total"));
    QVERIFY(after.find(
                "\nzuno_build_info{version=\"" ZUNO_VERSION_TEXT "\",phonenumber_version=\"" +
                std::string(zuno::service::kPhoneNumberDataVersion) + "\",carrier_table_date=\"" +
                zuno::service::kCarrierTableDate + "\"} 1\n") != std::string::npos);

    QProcess promtool;
    promtool.start(u"promtool"_s, {u"check"_s, u"metrics"_s});
    QVERIFY2(promtool.waitForStarted(), "promtool (Debian package prometheus) is missing");
    promtool.write(QByteArray::fromStdString(after));
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished());
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
}

void TestService::shouldShowMetricsOnlyToTheNetworksListed_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("request");  // request line and header fields but Host
    QTest::addColumn<int>("status");
    QTest::newRow("a listed network")
        << QByteArray("127.0.5.1") << QByteArray("GET /metrics HTTP/1.1\r\n") << 200;
    QTest::newRow("a network listed in its IPv4-mapped form")
        << QByteArray("127.0.6.1") << QByteArray("GET /metrics HTTP/1.1\r\n") << 200;
    QTest::newRow("another network")
        << QByteArray("127.0.0.1") << QByteArray("GET /metrics HTTP/1.1\r\n") << 403;
    QTest::newRow("another network, escaped")
        << QByteArray("127.0.0.1") << QByteArray("GET /%6detrics HTTP/1.1\r\n") << 403;
    QTest::newRow("another network, absolute form")
        << QByteArray("127.0.0.1") << QByteArray("GET http://x/metrics HTTP/1.1\r\n") << 403;
    QTest::newRow("another network, HEAD")
        << QByteArray("127.0.0.1") << QByteArray("HEAD /metrics HTTP/1.1\r\n") << 403;
    // Judged on the connection's peer, never on what a request says of itself.
    QTest::newRow("another network naming a listed one")
        << QByteArray("127.0.0.1")
        << QByteArray("GET /metrics HTTP/1.1\r\nX-Forwarded-For: 127.0.5.1\r\n") << 403;
    // Load balancers' checks stay open.
    QTest::newRow("another network, health")
        << QByteArray("127.0.0.1") << QByteArray("GET /healthz HTTP/1.1\r\n") << 200;
    QTest::newRow("another network, readiness")
        << QByteArray("127.0.0.1") << QByteArray("GET /readyz HTTP/1.1\r\n") << 200;
}

void TestService::shouldShowMetricsOnlyToTheNetworksListed()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    zuno::service::ServerOptions options;
    options.listen = {asio::ip::make_address("127.0.0.1"), 0};
    options.metricsFrom.add(*zuno::service::AddressBlocks::parse("127.0.5.0/24"));
    options.metricsFrom.add(*zuno::service::AddressBlocks::parse("::ffff:127.0.6.0/120"));
    zuno::service::Server server(*site_, options);
    server.start();
    asio::io_context context;
    RawSocket socket = rawConnect(context, server.localEndpoint().port(), 0, from.toStdString());
    rawSend(socket, request.toStdString() + "Host: x\r\nConnection: close\r\n\r\n");
    const std::string answer = readToEnd(socket);
    QVERIFY2(answer.starts_with("HTTP/1.1 " + std::to_string(status)), answer.c_str());
    if (status == 403)
        QVERIFY2(answer.find("zuno_build_info") == std::string::npos, answer.c_str());
    else if (request.contains("metrics"))
        QVERIFY2(answer.find("zuno_build_info") != std::string::npos, answer.c_str());
}

void TestService::shouldAnswerEveryBatchInputWithOneRowInOrder_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("inputs");
    QTest::addColumn<QString>("valid");  // Y or N for each row
    const auto row = [](const char *name, const QByteArray &body, const QStringList &inputs,
                        const QString &valid) { QTest::newRow(name) << body << inputs << valid; };
    // Lines
    row("empty lines, blanks and garbage keep their rows", "13800138000\n\n  \nabc\n010-12345678\n",
        {u"13800138000"_s, u""_s, u"  "_s, u"abc"_s, u"010-12345678"_s}, u"YNNNY"_s);
    row("CRLF, no line break at the end", "13800138000\r\n+86 139 0013 9000",
        {u"13800138000"_s, u"+86 139 0013 9000"_s}, u"YY"_s);
    row("a UTF-8 byte order mark",
        "\xEF\xBB\xBF"
        "13800138000\n",
        {u"13800138000"_s}, u"Y"_s);
    row("a record longer than any number", QByteArray(5000, '1') + "\n13800138000\n",
        {QString(), u"13800138000"_s}, u"NY"_s);
    row("CR-only line ends of an old Mac CSV", "13800138000\r13900139000\r\rabc\r",
        {u"13800138000"_s, u"13900139000"_s, u""_s, u"abc"_s}, u"YYNN"_s);
    row("CRLF split from CR-only lines", "13800138000\r\n\r13900139000",
        {u"13800138000"_s, u""_s, u"13900139000"_s}, u"YNY"_s);
    // Excel's "Unicode Text": UTF-16 with its byte order mark, tab-separated.
    const QString unicodeText = u"电话\t姓名\r\n13800138000\t张三\r\n北京\t李四\r\n"_s;
    QByteArray littleEndian("\xFF\xFE", 2);
    QByteArray bigEndian("\xFE\xFF", 2);
    for (const QChar c : unicodeText) {
        const char low = static_cast<char>(c.unicode() & 0xFF);
        const char high = static_cast<char>(c.unicode() >> 8);
        littleEndian.append(low).append(high);
        bigEndian.append(high).append(low);
    }
    row("UTF-16 LE by its byte order mark", littleEndian, {u"13800138000"_s, u"北京"_s}, u"YY"_s);
    row("UTF-16 BE by its byte order mark", bigEndian, {u"13800138000"_s, u"北京"_s}, u"YY"_s);
    // CSV
    row("a header row and the first column", "电话号码,姓名\n13800138000,张三\n\"010,1\",x\n",
        {u"13800138000"_s, u"010,1"_s}, u"YN"_s);
    row("a quoted line break inside a later field", "13800138000,\"a\nb\"\n13900139000\n",
        {u"13800138000"_s, u"13900139000"_s}, u"YY"_s);
    row("GBK from a spreadsheet", "\xBA\xC5\xC2\xEB\n13800138000\n\xB1\xB1\xBE\xA9\n",
        {u"13800138000"_s, u"北京"_s}, u"YY"_s);
    // JSON
    row("a JSON array of strings and numbers", R"( ["13800138000", 13900139000, "\u5317"] )",
        {u"13800138000"_s, u"13900139000"_s, u"北"_s}, u"YYN"_s);
    row("a JSON string longer than a record is one refused row",
        "[\"13800138000\", \"" + QByteArray(5000, '1') + "\", \"13900139000\"]",
        {u"13800138000"_s, QString(), u"13900139000"_s}, u"YNY"_s);
    row("a long JSON string with escaped quotes, over more than one piece",
        "[\"" + QByteArray(20000, '1') + "\\\"" + QByteArray(20000, '2') + "\", \"13900139000\"]",
        {QString(), u"13900139000"_s}, u"NY"_s);
    row("JSON that is not an array of strings", R"(["13800138000", {"a": 1}])",
        {u"13800138000"_s, QString()}, u"YN"_s);
}

void TestService::shouldAnswerEveryBatchInputWithOneRowInOrder()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, inputs);
    QFETCH(QString, valid);
    const auto response = postBatch(port_, "?format=jsonl", body.toStdString());
    QCOMPARE(response.status, 200);
    QCOMPARE(response.header("Content-Type"), "application/x-ndjson; charset=utf-8");
    const QList<QByteArray> lines = QByteArray::fromStdString(dechunked(response.rest)).split('\n');
    QCOMPARE(lines.size(), inputs.size() + 1);
    QVERIFY(lines.last().isEmpty());
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        const QJsonObject row = QJsonDocument::fromJson(lines[i]).object();
        QCOMPARE(row.value(u"input"_s).toString(), inputs[i]);
        QCOMPARE(row.value(u"valid"_s).toBool(), valid[i] == u'Y');
        QCOMPARE(row.value(u"message"_s).isNull(), valid[i] == u'Y');
        QVERIFY(row.contains(u"label"_s));
    }
}

void TestService::shouldWriteBatchCsvQuotedWithCrlfAndAByteOrderMark()
{
    const auto response = postBatch(port_, "?bom=1", "13800138000\n\"1,\"\"2\"\n");
    QCOMPARE(response.status, 200);
    QCOMPARE(response.header("Transfer-Encoding"), "chunked");
    QCOMPARE(
        dechunked(response.rest),
        "\xEF\xBB\xBFinput,number,e164,valid,location,areaCode,carrier,virtualOperator,type,"
        "owner,locationSource,locationSourceName,locationSourceDate,label,message,messageCode\r\n"
        "13800138000,138 0013 8000,+8613800138000,true,北京市,010,中国移动,false,手机号码,,"
        "builtin,,,,,\r\n"
        "\"1,\"\"2\",,,false,,,,false,,,,,,,\"“1,"
        "\"\"2”中含有无法识别的字符。请只输入数字（可带空格、"
        "横线、括号）。\",other_characters\r\n");
}

void TestService::shouldAnswerBatchRowsWhileTheBodyStillArrives()
{
    asio::io_context context;
    RawSocket socket = rawConnect(context, port_);
    rawSend(socket,
            "POST /api/v1/lookup/batch?format=jsonl HTTP/1.1\r\nHost: x\r\n"
            "Transfer-Encoding: chunked\r\n\r\nc\r\n13800138000\n\r\n");
    std::string received;
    char chunk[4096];
    while (received.find("+8613800138000") == std::string::npos)
        received.append(chunk, socket.read_some(asio::buffer(chunk)));
    // The first row came before the rest of the body; the connection then serves another request.
    rawSend(socket,
            "c\r\n13900139000\n\r\n0\r\n\r\nGET /healthz HTTP/1.1\r\nHost: x\r\n"
            "Connection: close\r\n\r\n");
    received += readToEnd(socket);
    QVERIFY(received.find("+8613900139000") != std::string::npos);
    QVERIFY(received.ends_with("\r\n\r\nalive\n"));
}

void TestService::shouldStopTheBatchWhenItsReaderStopsOrGoesAway()
{
    constexpr int kNumbers = 300'000;
    std::string body;
    for (int i = 0; i < kNumbers; ++i)
        body += std::to_string(13800000000LL + i) + "\n";
    const double before = lookupsMade(get("/metrics").rest);
    {
        asio::io_context context;
        RawSocket socket = rawConnect(context, port_, 4096);
        socket.non_blocking(true);
        const std::string request = "POST /api/v1/lookup/batch HTTP/1.1\r\nHost: x\r\n"
                                    "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        // Sends what the server takes without ever reading its answer, for a second.
        size_t sent = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1000 && sent < request.size()) {
            boost::system::error_code error;
            sent += socket.write_some(asio::buffer(request.data() + sent, request.size() - sent),
                                      error);
            if (error)
                std::this_thread::sleep_for(10ms);
        }
    }
    // The reader stopped, then went away: the lookups stopped with it, well short of the body.
    std::this_thread::sleep_for(300ms);
    const double stopped = lookupsMade(get("/metrics").rest) - before;
    std::this_thread::sleep_for(500ms);
    QCOMPARE(lookupsMade(get("/metrics").rest) - before, stopped);
    // Some rows, of a body declared larger than Beast takes by default (1 MiB).
    QVERIFY2(stopped > 0 && stopped < kNumbers / 2, qPrintable(QString::number(stopped)));
}

void TestService::shouldEndTheBatchWithARowWhenItsBodyOutgrowsWhatIsHeld()
{
    zuno::service::ServerOptions options;
    options.listen = {asio::ip::make_address("127.0.0.1"), 0};
    options.threads = 1;
    options.limits.bodySpoolBytes = 256 * 1024;
    zuno::service::Server server(*site_, options);
    server.start();
    std::string body;
    for (int i = 0; i < 500'000; ++i)
        body += std::to_string(13800000000LL + i) + ",一列备注，不查询\n";
    asio::io_context context;
    RawSocket socket = rawConnect(context, server.localEndpoint().port(), 16 * 1024);
    socket.non_blocking(true);
    const std::string request = "POST /api/v1/lookup/batch?format=jsonl HTTP/1.1\r\nHost: x\r\n"
                                "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    // Sends all without reading: past what is held, the server reads the rest and drops it.
    size_t sent = 0;
    QElapsedTimer idle;
    idle.start();
    while (sent < request.size() && idle.elapsed() < 500) {
        boost::system::error_code error;
        const size_t wrote =
            socket.write_some(asio::buffer(request.data() + sent, request.size() - sent), error);
        sent += wrote;
        if (wrote > 0)
            idle.restart();
        else
            std::this_thread::sleep_for(5ms);
    }
    QCOMPARE(sent, request.size());
    socket.non_blocking(false);
    const std::string received = readToEnd(socket);
    QVERIFY2(received.starts_with("HTTP/1.1 200 "), received.substr(0, 100).c_str());
    QVERIFY2(received.find("请求正文未发完，其余未查询") != std::string::npos,
             (std::to_string(received.size()) + received.substr(received.size() - 300)).c_str());
    QVERIFY(received.ends_with("\r\n0\r\n\r\n"));
    const size_t rows = size_t(std::count(received.begin(), received.end(), '\n'));
    QVERIFY2(rows < 100'000, qPrintable(QString::number(rows)));
}

void TestService::shouldEndTheBatchWhereItsBodyStopsHalfWay()
{
    asio::io_context context;
    RawSocket socket = rawConnect(context, port_);
    rawSend(socket,
            "POST /api/v1/lookup/batch?format=jsonl HTTP/1.1\r\nHost: x\r\n"
            "Content-Length: 1000\r\n\r\n13800138000\n13900139000\n1370");
    socket.shutdown(RawSocket::shutdown_send);
    boost::system::error_code ended;
    const std::string received = readToEnd(socket, &ended);
    QCOMPARE(ended, asio::error::eof);
    const QList<QByteArray> lines =
        QByteArray::fromStdString(dechunked(received.substr(received.find("\r\n\r\n") + 4)))
            .split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(QJsonDocument::fromJson(lines[1]).object().value(u"input"_s).toString(),
             u"13900139000"_s);
    QCOMPARE(QJsonDocument::fromJson(lines[2]).object().value(u"message"_s).toString(),
             u"请求正文未发完，其余未查询"_s);
}

void TestService::shouldEndAStreamedBatchByClosingOverHttp10_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<int>("numbers");
    QTest::newRow("CSV") << QByteArray() << QByteArray() << 3;
    QTest::newRow("JSON Lines") << QByteArray("?format=jsonl") << QByteArray() << 3;
    QTest::newRow("keep-alive asked for")
        << QByteArray() << QByteArray("Connection: keep-alive\r\n") << 3;
    QTest::newRow("rows written in many pieces") << QByteArray() << QByteArray() << 50'000;
}

// HTTP/1.0 has no chunks: the rows go out bare, and the connection's end is the answer's.
void TestService::shouldEndAStreamedBatchByClosingOverHttp10()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, fields);
    QFETCH(int, numbers);
    std::string body;
    for (int i = 0; i < numbers; ++i)
        body += std::to_string(13800000000LL + i) + "\n";
    const RawResponse response =
        rawExchange(port_,
                    "POST /api/v1/lookup/batch" + query.toStdString() + " HTTP/1.0\r\nHost: x\r\n" +
                        fields.toStdString() + "Content-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    QVERIFY2(response.head.starts_with("HTTP/1.0 200 "), response.head.c_str());
    QCOMPARE(QString::fromStdString(response.header("Transfer-Encoding")), QString());
    QCOMPARE(QString::fromStdString(response.header("Content-Length")), QString());
    QVERIFY(response.closedByServer);
    // Every row the same request over HTTP/1.1 answers, the last one whole.
    const std::string rows = dechunked(postBatch(port_, query.toStdString(), body).rest);
    QVERIFY(rows.find(std::to_string(13800000000LL + numbers - 1)) != std::string::npos);
    QCOMPARE(response.rest.size(), rows.size());
    QVERIFY(response.rest == rows);
}

void TestService::shouldRefuseAnUploadThatIsNoWholeFormWithOneFile_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");  // the page's sentence, or a row of the answer
    const QByteArray form = "multipart/form-data; boundary=b";
    const auto part = [](const QByteArray &name, const QByteArray &contents,
                         const QByteArray &fileName = {}) {
        return "\r\n--b\r\nContent-Disposition: form-data; name=\"" + name + '"' +
            (fileName.isEmpty() ? QByteArray() : "; filename=\"" + fileName + '"') + "\r\n\r\n" +
            contents;
    };
    // The file's part as a browser sends it first, without the form's closing boundary.
    const QByteArray file = part("file", "13800138000\r\n13900139000\r\n", "a.csv").mid(2);
    const QByteArray closing = "\r\n--b--\r\n";
    const QString notAForm = u"提交的不是上传文件的表单"_s, malformed = u"上传的表单格式有误"_s,
                  noFile = u"表单中没有文件"_s, cut = u"上传的表单不完整"_s,
                  secondFile = u"每次只能上传一个文件"_s;
    // Not a form with a file field
    QTest::newRow("no content type") << QByteArray() << file + closing << 400 << notAForm;
    QTest::newRow("a CSV file sent bare")
        << QByteArray("text/csv") << file + closing << 400 << notAForm;
    QTest::newRow("a form of fields") << QByteArray("application/x-www-form-urlencoded")
                                      << QByteArray("file=13800138000") << 400 << notAForm;
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << file + closing << 400
                                 << notAForm;
    QTest::newRow("an empty boundary") << QByteArray("multipart/form-data; boundary=\"\"")
                                       << file + closing << 400 << notAForm;
    QTest::newRow("a boundary of 71 characters")
        << "multipart/form-data; boundary=" + QByteArray(71, 'b')
        << "--" + QByteArray(71, 'b') + "--\r\n"
        << 400 << notAForm;
    // Malformed, or with no file
    QTest::newRow("text after the first delimiter")
        << form << "--bb\r\n" + file.mid(5) + closing << 400 << malformed;
    QTest::newRow("text after a delimiter past the file") << form << file + "\r\n--b x\r\n"
                                                          << 400 << malformed;
    QTest::newRow("a field but no file")
        << form << part("note", "abc").mid(2) + closing << 400 << noFile;
    QTest::newRow("an empty form") << form << QByteArray("--b--\r\n") << 400 << noFile;
    // Cut short, even once the file has ended
    QTest::newRow("no closing boundary") << form << file << 400 << cut;
    QTest::newRow("cut after a delimiter") << form << file + "\r\n--b\r\n" << 400 << cut;
    QTest::newRow("cut in the next part's header")
        << form << file + "\r\n--b\r\nContent-Disp" << 400 << cut;
    QTest::newRow("cut inside a field after the file")
        << form << file + part("note", "abc") << 400 << cut;
    // More than one file
    QTest::newRow("a second file")
        << form << file + part("file", "13700137000\r\n", "b.csv") + closing << 400 << secondFile;
    QTest::newRow("a second file under another name")
        << form << file + part("other", "13700137000\r\n", "b.csv") + closing << 400 << secondFile;
    // What is taken: fields beside the file
    QTest::newRow("a field after the file")
        << form << file + part("note", "abc") + closing << 200 << u"13900139000,139 0013 9000"_s;
    QTest::newRow("a field before the file")
        << form << part("note", "abc").mid(2) + "\r\n" + file + closing << 200
        << u"13900139000,139 0013 9000"_s;
}

void TestService::shouldRefuseAnUploadThatIsNoWholeFormWithOneFile()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, says);
    const QByteArray field =
        contentType.isEmpty() ? QByteArray() : "Content-Type: " + contentType + "\r\n";
    const RawResponse response = rawRequest("127.0.0.1", port_, "POST", "/lookup/batch",
                                            body.toStdString(), field.toStdString());
    QCOMPARE(response.status, status);
    const QString page =
        QString::fromStdString(status == 200 ? dechunked(response.rest) : response.rest);
    QVERIFY2(page.contains(says), qPrintable(page));
    if (status != 200)
        QCOMPARE(response.header("Content-Type"), "text/html; charset=utf-8");
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
