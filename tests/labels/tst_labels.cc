// SPDX-License-Identifier: Apache-2.0
// Service headers before any Qt header: Qt's keyword macros must not reach Boost.
#include "server/server.h"
#include "site/site.h"
#include "site/site_routes.h"
#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_store.h"
#include "text/utf8.h"

#include "raw_http.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <malloc.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using namespace zuno::service;

namespace {

constexpr std::int64_t kDay = 86400;

// A step of a table row: network N (127.0.N.1, or 127.0.1.N for the same /24 when N > 100)
// reports CATEGORY, or withdraws ("-"), DAYS after the row's first day.
struct Step {
    int network;
    QString category;
    int days = 0;
};

// Where the first answer in `bytes` ends by its own framing: after its Content-Length or its last
// chunk, or right after its head when it can have no body; npos when only the connection's end
// can end it. `problem` says what is wrong when its framing cannot be read.
size_t firstAnswerEnd(const std::string &bytes, bool toHead, std::string &problem)
{
    const size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        problem = "no whole head";
        return std::string::npos;
    }
    RawResponse first;
    first.head = bytes.substr(0, headEnd);
    const size_t bodyStart = headEnd + 4;
    const int status = std::stoi(bytes.substr(9, 3));
    if (toHead || status == 204 || status == 304)
        return bodyStart;
    if (QByteArray::fromStdString(first.header("Transfer-Encoding")).toLower() == "chunked") {
        for (size_t at = bodyStart;;) {
            const size_t lineEnd = bytes.find("\r\n", at);
            if (lineEnd == std::string::npos) {
                problem = "chunks cut short";
                return std::string::npos;
            }
            const size_t size = std::stoul(bytes.substr(at, lineEnd - at), nullptr, 16);
            if (size == 0)
                return lineEnd + 4;
            at = lineEnd + 2 + size + 2;
        }
    }
    if (!first.header("Content-Length").empty())
        return bodyStart + std::stoul(first.header("Content-Length"));
    if (QByteArray::fromStdString(first.header("Connection")).toLower() != "close")
        problem =
            std::to_string(status) + " with no Content-Length, no chunks and no Connection: close";
    return std::string::npos;
}

std::string fromAddress(int network)
{
    return network > 100 ? "127.0.1." + std::to_string(network - 100)
                         : "127.0." + std::to_string(network) + ".1";
}

// The store under test: every test goes through this interface and the HTTP surface. A
// PostgreSQL URI in ZUNO_TEST_DATABASE (given by pg-server.sh) runs the same tables on it.
std::unique_ptr<LabelStore> openStore(const QString &folder, std::function<std::int64_t()> clock)
{
    const QByteArray uri = qgetenv("ZUNO_TEST_DATABASE");
    if (!uri.isEmpty())
        return std::make_unique<PgStore>(
            PgStore::Options{uri.toStdString(), {3, 90}, std::move(clock)});
    return std::make_unique<SqliteStore>(SqliteStore::Options{
        (folder + u"/labels.sqlite3"_s).toStdString(), {3, 90}, {}, std::move(clock)});
}

}  // namespace

class TestLabels : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir folder_;
    std::atomic<std::int64_t> now_{0};
    std::unique_ptr<LabelStore> store_;
    std::unique_ptr<Site> site_;
    std::unique_ptr<Server> server_;
    unsigned short port_ = 0;
    // Each row moves to days of its own, so that daily limits and windows never meet.
    std::int64_t nextDay_ = 20000;

    RawResponse post(int network, const QByteArray &json)
    {
        return rawRequest(fromAddress(network), port_, "POST", "/api/v1/reports",
                          json.toStdString(), "Content-Type: application/json\r\n");
    }
    RawResponse report(int network, const QString &number, const QString &category,
                       const QString &comment = {})
    {
        return post(network,
                    QJsonDocument(QJsonObject{{u"number"_s, number},
                                              {u"category"_s, category},
                                              {u"comment"_s, comment}})
                        .toJson(QJsonDocument::Compact));
    }
    RawResponse postPlace(int network, const QString &number, const QString &province,
                          const QString &city = {})
    {
        return rawRequest(
            fromAddress(network), port_, "POST", "/api/v1/places",
            QJsonDocument(
                QJsonObject{{u"number"_s, number}, {u"province"_s, province}, {u"city"_s, city}})
                .toJson(QJsonDocument::Compact)
                .toStdString(),
            "Content-Type: application/json\r\n");
    }
    // The number's row of a batch, which must say what the single lookup says.
    QJsonObject batchJson(const QString &number)
    {
        const RawResponse response =
            rawRequest("127.0.0.1", port_, "POST", "/api/v1/lookup/batch?format=jsonl",
                       number.toStdString() + "\n");
        return QJsonDocument::fromJson(QByteArray::fromStdString(dechunked(response.rest)))
            .object();
    }
    QJsonObject lookupJson(const QString &number)
    {
        const RawResponse response = rawGet(port_, "/api/v1/lookup?number=" + number.toStdString());
        return QJsonDocument::fromJson(QByteArray::fromStdString(response.rest)).object();
    }
    // Ages every report: the store builds its snapshot afresh for the clock's new day.
    void setDay(std::int64_t day)
    {
        now_ = day * kDay + 12 * 3600;
        std::promise<void> rebuilt;
        store_->refresh([&] { rebuilt.set_value(); });
        rebuilt.get_future().wait();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder_.isValid());
        store_ = openStore(folder_.path(), [this] { return now_.load(); });
        SiteLabels labels;
        labels.store = store_.get();
        labels.networks.emplace(std::string(32, 'k'));
        labels.trustedProxies.add(*TrustedProxies::parseBlock("127.0.99.0/24"));
        labels.corsOrigins = {"https://partner.example"};
        labels.siteNames = {"x"};
        site_ = std::make_unique<Site>(DownloadFolder{}, std::move(labels));
        ServerOptions options;
        options.listen = {asio::ip::make_address("127.0.0.1"), 0};
        options.threads = 2;
        server_ = std::make_unique<Server>(*site_, options);
        server_->start();
        port_ = server_->localEndpoint().port();
    }
    void cleanupTestCase()
    {
        server_.reset();
        site_.reset();
        store_.reset();
    }

    void shouldLabelByTheRule_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<int>("checkedOnDay");
        QTest::addColumn<QString>("expected");  // category reporters, 有争议 reporters, or none
        const QString h = u"骚扰电话"_s, f = u"诈骗电话"_s, n = u"正常来电"_s;

        // threshold
        QTest::newRow("two networks") << QList<Step>{{1, h}, {2, h}} << 0 << u"none"_s;
        QTest::newRow("three networks") << QList<Step>{{1, h}, {2, h}, {3, h}} << 0 << h + u" 3"_s;
        QTest::newRow("a flood from one /24 counts once")
            << QList<Step>{{101, h}, {102, h}, {103, h}, {104, h}, {2, h}} << 0 << u"none"_s;
        // the window
        QTest::newRow("89 days on") << QList<Step>{{1, h}, {2, h}, {3, h}} << 89 << h + u" 3"_s;
        QTest::newRow("90 days on") << QList<Step>{{1, h}, {2, h}, {3, h}} << 90 << u"none"_s;
        QTest::newRow("one report aged out")
            << QList<Step>{{1, h, 0}, {2, h, 10}, {3, h, 10}} << 90 << u"none"_s;
        // replace and withdraw
        QTest::newRow("replaced, still the most")
            << QList<Step>{{1, h}, {2, h}, {3, h}, {1, f}} << 0 << h + u" 3"_s;
        QTest::newRow("replaced into a tie")
            << QList<Step>{{1, h}, {2, h}, {3, f}, {4, h}, {4, f}} << 0 << u"none"_s;
        QTest::newRow("withdrawn below the threshold")
            << QList<Step>{{1, h}, {2, h}, {3, h}, {2, u"-"_s}} << 0 << u"none"_s;
        // contested
        QTest::newRow("a third normal")
            << QList<Step>{{1, h}, {2, h}, {3, n}} << 0 << u"有争议 3"_s;
        QTest::newRow("a quarter normal")
            << QList<Step>{{1, h}, {2, h}, {3, h}, {4, n}} << 0 << h + u" 4"_s;
        QTest::newRow("only normal") << QList<Step>{{1, n}, {2, n}, {3, n}} << 0 << u"none"_s;
    }
    void shouldLabelByTheRule()
    {
        QFETCH(QList<Step>, steps);
        QFETCH(int, checkedOnDay);
        QFETCH(QString, expected);
        const std::int64_t first = nextDay_;
        nextDay_ += 200;
        const QString number = u"1390000%1"_s.arg(nextDay_ % 10000, 4, 10, QChar(u'0'));
        for (const Step &step : steps) {
            setDay(first + step.days);
            const RawResponse response = step.category == u"-"_s
                ? rawRequest(fromAddress(step.network), port_, "DELETE",
                             "/api/v1/reports?number=" + number.toStdString())
                : report(step.network, number, step.category);
            QVERIFY2(response.status == 201 || response.status == 200 || response.status == 204,
                     response.rest.c_str());
        }
        setDay(first + checkedOnDay);
        const QJsonObject answer = lookupJson(number);
        QCOMPARE(batchJson(number), answer);
        const QJsonObject label = answer[u"label"_s].toObject();
        const QString shown = label.isEmpty()
            ? u"none"_s
            : (label[u"contested"_s].toBool() ? u"有争议"_s : label[u"category"_s].toString()) +
                u' ' + QString::number(label[u"reporters"_s].toInt());
        QCOMPARE(shown, expected);
    }

    void shouldAnswerCreatedThenReplacedThenWithdrawn()
    {
        setDay(nextDay_ += 200);
        QCOMPARE(report(1, u"13700001111"_s, u"广告推销"_s).status, 201);
        QCOMPARE(report(1, u"137 0000 1111"_s, u"房产中介"_s).status, 200);
        const std::string target = "/api/v1/reports?number=13700001111";
        QCOMPARE(rawRequest(fromAddress(1), port_, "DELETE", target).status, 204);
        QCOMPARE(rawRequest(fromAddress(1), port_, "DELETE", target).status, 404);
    }

    void shouldRefuseWithASentence_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const auto body = [](const QString &number, const QString &category,
                             const QString &comment = {}) {
            return QJsonDocument(QJsonObject{{u"number"_s, number},
                                             {u"category"_s, category},
                                             {u"comment"_s, comment}})
                .toJson(QJsonDocument::Compact);
        };
        // numbers
        QTest::newRow("short code") << body(u"10086"_s, u"骚扰电话"_s) << 400;
        QTest::newRow("prefix") << body(u"138"_s, u"骚扰电话"_s) << 400;
        QTest::newRow("invalid") << body(u"12345678901"_s, u"骚扰电话"_s) << 400;
        QTest::newRow("letters") << body(u"abc"_s, u"骚扰电话"_s) << 400;
        // categories
        QTest::newRow("unknown category") << body(u"13800138000"_s, u"骚扰"_s) << 400;
        QTest::newRow("no category") << QByteArray(R"({"number":"13800138000"})") << 400;
        QTest::newRow("every category is known") << body(u"13800138000"_s, u"客服热线"_s) << 201;
        // comments
        QTest::newRow("140 characters")
            << body(u"13800138001"_s, u"骚扰电话"_s, QString(140, u'字')) << 201;
        QTest::newRow("141 characters")
            << body(u"13800138002"_s, u"骚扰电话"_s, QString(141, u'字')) << 400;
        QTest::newRow("control character")
            << body(u"13800138003"_s, u"骚扰电话"_s, u"a\u0007b"_s) << 400;
        QTest::newRow("line break") << body(u"13800138003"_s, u"骚扰电话"_s, u"a\nb"_s) << 400;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"number\":\"13800138003\",\"category\":"
                                                     "\"骚扰电话\",\"comment\":\"\xff\xfe\"}")
                                       << 400;
        // bodies
        QTest::newRow("not JSON") << QByteArray("number=13800138000") << 400;
        QTest::newRow("over 4 KiB")
            << body(u"13800138004"_s, u"骚扰电话"_s, QString(4200, u'a')) << 413;
    }
    void shouldRefuseWithASentence()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        setDay(nextDay_ += 200);
        const RawResponse response = post(7, body);
        QCOMPARE(response.status, status);
        if (status >= 400 && status != 413)
            QVERIFY(!QJsonDocument::fromJson(QByteArray::fromStdString(response.rest))
                         .object()[u"error"_s]
                         .toString()
                         .isEmpty());
    }

    void shouldLimitReportsOfOneNetworkADay()
    {
        setDay(nextDay_ += 200);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(report(9, u"135000000%1"_s.arg(i, 2, 10, QChar(u'0')), u"骚扰电话"_s).status,
                     201);
        const RawResponse refused = report(9, u"13500000099"_s, u"骚扰电话"_s);
        QCOMPARE(refused.status, 429);
        QCOMPARE(postPlace(9, u"19900001234"_s, u"广东省"_s).status, 429);
        // The clock stands at 12:00 UTC, 20:00 in China: the day ends four hours later.
        QCOMPARE(QString::fromStdString(refused.header("Retry-After")), u"14400"_s);
        QCOMPARE(report(10, u"13500000099"_s, u"骚扰电话"_s).status, 201);
        setDay(nextDay_ += 1);
        QCOMPARE(report(9, u"13500000099"_s, u"骚扰电话"_s).status, 201);
    }

    void shouldEscapeCommentsOnThePageAndInTheApi()
    {
        setDay(nextDay_ += 200);
        const QString markup = u"<script>alert(\"x\")</script> & 'q' </li>"_s;
        QCOMPARE(report(1, u"13600001234"_s, u"诈骗电话"_s, markup).status, 201);
        const RawResponse page = rawGet(port_, "/lookup?number=13600001234");
        QCOMPARE(page.status, 200);
        QVERIFY(
            page.rest.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;q&#39; "
                           "&lt;/li&gt;") != std::string::npos);
        QVERIFY(page.rest.find("<script") == std::string::npos);
        QCOMPARE(QString::fromStdString(page.header("Content-Security-Policy"))
                     .contains(u"script-src 'none'"_s),
                 true);
        const RawResponse again = report(1, u"13600001234"_s, u"诈骗电话"_s, markup);
        QCOMPARE(QJsonDocument::fromJson(QByteArray::fromStdString(again.rest))
                     .object()[u"comment"_s]
                     .toString(),
                 markup);
    }

    void shouldTakeFormPostsOnlyFromThisSite_data()
    {
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("form");  // reports or places
        QTest::newRow("place, same origin")
            << QByteArray("Origin: http://x\r\n") << 303 << u"places"_s;
        QTest::newRow("place, another site")
            << QByteArray("Origin: http://x\r\nSec-Fetch-Site: cross-site\r\n") << 403
            << u"places"_s;
        QTest::newRow("same origin") << QByteArray("Origin: http://x\r\n") << 303 << u"reports"_s;
        QTest::newRow("same site by referer")
            << QByteArray("Referer: https://x/lookup\r\n") << 303 << u"reports"_s;
        QTest::newRow("other origin")
            << QByteArray("Origin: http://evil.example\r\n") << 403 << u"reports"_s;
        QTest::newRow("other referer")
            << QByteArray("Referer: http://evil.example/x\r\n") << 403 << u"reports"_s;
        QTest::newRow("opaque origin") << QByteArray("Origin: null\r\n") << 403 << u"reports"_s;
        QTest::newRow("a browser's own page, no referrer")
            << QByteArray("Origin: null\r\nSec-Fetch-Site: same-origin\r\n") << 303 << u"reports"_s;
        QTest::newRow("a browser, another site")
            << QByteArray("Origin: http://x\r\nSec-Fetch-Site: cross-site\r\n") << 403
            << u"reports"_s;
    }
    void shouldTakeFormPostsOnlyFromThisSite()
    {
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QFETCH(QString, form);
        setDay(nextDay_ += 200);
        const bool place = form == u"places"_s;
        const RawResponse response = rawRequest(
            fromAddress(3), port_, "POST", place ? "/places" : "/reports",
            place ? "number=199+0000+5678&province=%E5%B9%BF%E4%B8%9C%E7%9C%81&city="
                  : "number=%2B8613600005678&category=%E9%AA%9A%E6%89%B0%E7%94%B5%E8%AF%9D"
                    "&comment=a+b",
            "Content-Type: application/x-www-form-urlencoded\r\n" + headers.toStdString());
        QCOMPARE(response.status, status);
        if (status == 303)
            QCOMPARE(response.header("Location"),
                     place ? "/lookup?number=%2B8619900005678" : "/lookup?number=%2B8613600005678");
    }

    void shouldTakeTheClientFromXForwardedForOnlyFromATrustedProxy_data()
    {
        QTest::addColumn<QList<QByteArray>>("forwardedFor");  // one request each
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("trusted: one network a /24")
            << QList<QByteArray>{"10.7.1.1", "10.7.2.1", "10.7.2.9"} << QList<int>{201, 201, 200};
        QTest::newRow("trusted: the proxy's line is the last")
            << QList<QByteArray>{"10.7.1.1", "10.7.1.1\r\nX-Forwarded-For: 10.7.3.1"}
            << QList<int>{201, 201};
        QTest::newRow("trusted: IPv6 /48")
            << QList<QByteArray>{"2001:db8:1::1", "2001:db8:1:ffff::2", "2001:db8:2::1"}
            << QList<int>{201, 200, 201};
        QTest::newRow("untrusted: the header is ignored")
            << QList<QByteArray>{"10.8.1.1", "10.8.2.1"} << QList<int>{201, 200};
    }
    void shouldTakeTheClientFromXForwardedForOnlyFromATrustedProxy()
    {
        QFETCH(QList<QByteArray>, forwardedFor);
        QFETCH(QList<int>, statuses);
        setDay(nextDay_ += 200);
        const std::string from = QString::fromUtf8(QTest::currentDataTag()).startsWith(u"trusted"_s)
            ? "127.0.99.1"
            : "127.0.98.1";
        for (qsizetype i = 0; i < forwardedFor.size(); ++i) {
            const RawResponse response =
                rawRequest(from, port_, "POST", "/api/v1/reports",
                           "{\"number\":\"1330000" +
                               u"%1"_s.arg(nextDay_ % 10000, 4, 10, QChar(u'0')).toStdString() +
                               "\",\"category\":\"广告推销\"}",
                           "Content-Type: application/json\r\nX-Forwarded-For: " +
                               forwardedFor[i].toStdString() + "\r\n");
            QCOMPARE(response.status, statuses[i]);
        }
    }

    void shouldShowAPlaceThreeNetworksAgreeOn_data()
    {
        QTest::addColumn<QList<Step>>("steps");  // category: a province, or "-" to withdraw
        QTest::addColumn<QString>("expected");   // the place shown, or none
        const QString g = u"广东省"_s, b = u"北京市"_s;
        QTest::newRow("two networks") << QList<Step>{{1, g}, {2, g}} << u"none"_s;
        QTest::newRow("three networks") << QList<Step>{{1, g}, {2, g}, {3, g}} << g + u"深圳市"_s;
        QTest::newRow("a flood from one /24 counts once")
            << QList<Step>{{101, g}, {102, g}, {103, g}, {2, g}} << u"none"_s;
        QTest::newRow("three against one")
            << QList<Step>{{1, g}, {2, g}, {3, g}, {4, b}} << g + u"深圳市"_s;
        QTest::newRow("a tie") << QList<Step>{{1, g}, {2, g}, {3, g}, {4, b}, {5, b}, {6, b}}
                               << u"none"_s;
        QTest::newRow("replaced below the threshold")
            << QList<Step>{{1, g}, {2, g}, {3, g}, {3, b}} << u"none"_s;
        QTest::newRow("withdrawn below the threshold")
            << QList<Step>{{1, g}, {2, g}, {3, g}, {2, u"-"_s}} << u"none"_s;
    }
    void shouldShowAPlaceThreeNetworksAgreeOn()
    {
        QFETCH(QList<Step>, steps);
        QFETCH(QString, expected);
        setDay(nextDay_ += 200);
        const QString number = u"1990%1"_s.arg(nextDay_ % 10000, 4, 10, QChar(u'0')) + u"000"_s;
        for (const Step &step : steps) {
            const RawResponse response = step.category == u"-"_s
                ? rawRequest(fromAddress(step.network), port_, "DELETE",
                             "/api/v1/places?number=" + number.toStdString())
                : postPlace(step.network, number, step.category, u"深圳市"_s);
            QVERIFY2(response.status == 201 || response.status == 200 || response.status == 204,
                     response.rest.c_str());
        }
        const QJsonObject answer = lookupJson(number);
        QCOMPARE(batchJson(number), answer);
        const RawResponse reply = rawGet(port_, "/iii.asp?title=" + number.toStdString());
        const QString text =
            QStringDecoder("GB18030").decode(QByteArray::fromStdString(reply.rest));
        const QStringList lines = text.split(u"\r\n"_s);
        QCOMPARE(lines.size(), 3);
        for (const QString &line : lines)
            QVERIFY2(QByteArray(QStringEncoder("GB18030").encode(line)).size() <= 34,
                     qPrintable(line));
        const std::string page = rawGet(port_, "/lookup?number=" + number.toStdString()).rest;
        // The block typed alone answers as its numbers do.
        const std::string block = number.left(7).toStdString();
        const std::string blockPage = rawGet(port_, "/lookup?number=" + block).rest;
        const QString blockReply = QStringDecoder("GB18030").decode(
            QByteArray::fromStdString(rawGet(port_, "/iii.asp?title=" + block).rest));
        QCOMPARE(blockReply.section(u"\r\n"_s, 1, 1), lines[1]);
        if (expected == u"none"_s) {
            QVERIFY(answer[u"location"_s].isNull());
            QCOMPARE(lines[1], u"归属地：暂无数据"_s);
            QVERIFY(page.find("补充归属地") != std::string::npos);
            QVERIFY(blockPage.find("补充归属地") != std::string::npos);
            return;
        }
        QVERIFY(blockPage.find("补充归属地") == std::string::npos);
        QCOMPARE(answer[u"location"_s].toString(), expected);
        QCOMPARE(answer[u"locationSource"_s].toString(), u"community"_s);
        QCOMPARE(lines[1], u"归属地："_s + expected + u"（用户提供）"_s);
        QVERIFY(page.find((expected + u"（用户提供）"_s).toStdString()) != std::string::npos);
        QVERIFY(page.find("补充归属地") == std::string::npos);
    }

    void shouldRefuseAPlaceWithASentence_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("province");
        QTest::addColumn<QString>("city");
        QTest::addColumn<int>("status");
        QTest::newRow("a block with a built-in place")
            << u"13800138000"_s << u"广东省"_s << QString() << 400;
        QTest::newRow("a fixed line") << u"020 1234 5678"_s << u"广东省"_s << QString() << 400;
        QTest::newRow("a province not in the list")
            << u"19900001111"_s << u"广东"_s << QString() << 400;
        QTest::newRow("markup as city")
            << u"19900001111"_s << u"广东省"_s << u"<b>深圳</b>"_s << 400;
        QTest::newRow("over 4 KiB")
            << u"19900001111"_s << u"广东省"_s << QString(4200, u'深') << 413;
    }
    void shouldRefuseAPlaceWithASentence()
    {
        QFETCH(QString, number);
        QFETCH(QString, province);
        QFETCH(QString, city);
        QFETCH(int, status);
        setDay(nextDay_ += 200);
        const RawResponse response = postPlace(7, number, province, city);
        QCOMPARE(response.status, status);
        if (status == 400)
            QVERIFY(!QJsonDocument::fromJson(QByteArray::fromStdString(response.rest))
                         .object()[u"error"_s]
                         .toString()
                         .isEmpty());
    }

    void shouldRefuseWritesABrowserSendsFromAnotherSite_data()
    {
        QTest::addColumn<QByteArray>("request");  // method and target
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("allowOrigin");  // Access-Control-Allow-Origin, or none
        const QByteArray json("Content-Type: application/json\r\n"),
            noCors("Content-Type: text/plain;charset=UTF-8\r\n"),
            crossSite("Sec-Fetch-Site: cross-site\r\n"), evil("Origin: http://evil.example\r\n"),
            partner("Origin: https://partner.example\r\n"), report("POST /api/v1/reports"),
            place("POST /api/v1/places"), listed("https://partner.example");
        // clients that are not browsers
        QTest::newRow("no Origin, JSON") << report << json << 201 << QByteArray();
        QTest::newRow("no Origin, JSON with its charset")
            << report << QByteArray("Content-Type: Application/JSON; charset=utf-8\r\n") << 201
            << QByteArray();
        QTest::newRow("no Origin, text/plain")
            << report << QByteArray("Content-Type: text/plain\r\n") << 415 << QByteArray();
        QTest::newRow("no Origin, a form's type")
            << report << QByteArray("Content-Type: application/x-www-form-urlencoded\r\n") << 415
            << QByteArray();
        QTest::newRow("no Origin, no type") << report << QByteArray() << 415 << QByteArray();
        QTest::newRow("place, text/plain") << place << noCors << 415 << QByteArray();
        // what a page of another site sends
        QTest::newRow("no-cors from another site")
            << report << noCors + evil + crossSite << 403 << QByteArray();
        QTest::newRow("place, no-cors from another site")
            << place << noCors + evil + crossSite << 403 << QByteArray();
        QTest::newRow("JSON from another site")
            << report << json + evil + crossSite << 403 << QByteArray();
        QTest::newRow("another origin, no Sec-Fetch-Site")
            << report << json + evil << 403 << QByteArray();
        QTest::newRow("another site's Referer alone")
            << report << json + "Referer: http://evil.example/page\r\n"
            << 403 << QByteArray();
        QTest::newRow("opaque origin") << report << json + "Origin: null\r\n"
                                       << 403 << QByteArray();
        QTest::newRow("a sibling site")
            << report << json + "Origin: http://shop.x\r\nSec-Fetch-Site: same-site\r\n"
            << 403 << QByteArray();
        QTest::newRow("withdrawal from another site")
            << QByteArray("DELETE /api/v1/reports") << evil + crossSite << 403 << QByteArray();
        QTest::newRow("place withdrawal from another site")
            << QByteArray("DELETE /api/v1/places") << evil + crossSite << 403 << QByteArray();
        // this site's own pages, and the origins the operator lists
        QTest::newRow("this site's page")
            << report << json + "Origin: http://x\r\nSec-Fetch-Site: same-origin\r\n"
            << 201 << QByteArray();
        QTest::newRow("a listed origin") << report << json + partner + crossSite << 201 << listed;
        QTest::newRow("place from a listed origin")
            << place << json + partner + crossSite << 201 << listed;
        QTest::newRow("a listed origin, no-cors")
            << report << noCors + partner + crossSite << 415 << listed;
        QTest::newRow("withdrawal from a listed origin")
            << QByteArray("DELETE /api/v1/reports") << partner + crossSite << 404 << listed;
        // preflights
        QTest::newRow("preflight from a listed origin") << QByteArray("OPTIONS /api/v1/reports")
                                                        << partner +
                "Access-Control-Request-Method: POST\r\n"
                "Access-Control-Request-Headers: content-type\r\n"
                                                        << 204 << listed;
        QTest::newRow("place preflight from a listed origin")
            << QByteArray("OPTIONS /api/v1/places")
            << partner + "Access-Control-Request-Method: DELETE\r\n"
            << 204 << listed;
        QTest::newRow("preflight from another site") << QByteArray("OPTIONS /api/v1/reports")
                                                     << evil +
                "Access-Control-Request-Method: POST\r\n"
                "Access-Control-Request-Headers: content-type\r\n"
                                                     << 403 << QByteArray();
        // reading stays open to every page
        QTest::newRow("a lookup from another site")
            << QByteArray("GET /api/v1/lookup?number=13800138000") << evil + crossSite << 200
            << QByteArray("*");
    }
    void shouldRefuseWritesABrowserSendsFromAnotherSite()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QFETCH(QByteArray, allowOrigin);
        setDay(nextDay_ += 200);
        const bool places = request.contains("places");
        const QString number =
            (places ? u"1990%1"_s : u"1370%1"_s).arg(nextDay_ % 10000, 4, 10, QChar(u'0')) +
            u"000"_s;
        const QByteArray method = request.left(request.indexOf(' '));
        std::string target = request.mid(method.size() + 1).toStdString();
        std::string body;
        if (method == "POST")
            body = QJsonDocument(
                       places ? QJsonObject{{u"number"_s, number}, {u"province"_s, u"广东省"_s}}
                              : QJsonObject{{u"number"_s, number}, {u"category"_s, u"骚扰电话"_s}})
                       .toJson(QJsonDocument::Compact)
                       .toStdString();
        else if (method == "DELETE")
            target += "?number=" + number.toStdString();
        const RawResponse response = rawRequest(fromAddress(11), port_, method.toStdString(),
                                                target, body, headers.toStdString());
        QVERIFY2(response.status == status, (response.head + "\r\n\r\n" + response.rest).c_str());
        QCOMPARE(response.header("Access-Control-Allow-Origin"), allowOrigin.toStdString());
        if (!allowOrigin.isEmpty() && allowOrigin != "*")
            QVERIFY2(QByteArray::fromStdString(response.header("Vary")).contains("Origin"),
                     response.head.c_str());
        if (status == 204 && method == "OPTIONS") {
            QVERIFY2(QByteArray::fromStdString(response.header("Access-Control-Allow-Methods"))
                         .contains("POST"),
                     response.head.c_str());
            QVERIFY2(QByteArray::fromStdString(response.header("Access-Control-Allow-Headers"))
                         .toLower()
                         .contains("content-type"),
                     response.head.c_str());
        }
        if (status >= 400)
            QVERIFY2(!QJsonDocument::fromJson(QByteArray::fromStdString(response.rest))
                          .object()[u"error"_s]
                          .toString()
                          .isEmpty(),
                     response.rest.c_str());
        // What was refused left nothing behind.
        if (status == 403 && method == "POST")
            QVERIFY(lookupJson(number)[u"label"_s].isNull());
    }

    // A page of another site whose name is pointed at this site's address (DNS rebinding) is
    // same-origin to the browser: only the Host field it sends tells it apart.
    void shouldRefuseWritesFromPagesReachingTheSiteByAnotherName_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        const QByteArray api("/api/v1/reports"), form("/reports"),
            sameOrigin("Sec-Fetch-Site: same-origin\r\n");
        QTest::newRow("API, a rebound name, same-origin")
            << api << QByteArray("evil.example:8086")
            << "Origin: http://evil.example:8086\r\n" + sameOrigin << 403;
        QTest::newRow("API, a rebound name, no Sec-Fetch-Site")
            << api << QByteArray("evil.example") << QByteArray("Origin: http://evil.example\r\n")
            << 403;
        QTest::newRow("form, a rebound name")
            << form << QByteArray("evil.example") << QByteArray("Origin: http://evil.example\r\n")
            << 403;
        QTest::newRow("form, a rebound name by its Referer")
            << form << QByteArray("evil.example")
            << QByteArray("Referer: http://evil.example/lookup\r\n") << 403;
        QTest::newRow("API, the site's name") << api << QByteArray("x")
                                              << "Origin: http://x\r\n" + sameOrigin << 201;
        QTest::newRow("API, the site's name in capitals, a final dot and a port")
            << api << QByteArray("X.:8086") << QByteArray("Origin: http://X.:8086\r\n") << 201;
        QTest::newRow("form, an IPv4 address")
            << form << QByteArray("127.0.0.1:8086")
            << QByteArray("Origin: http://127.0.0.1:8086\r\n") << 303;
        QTest::newRow("API, an IPv6 address")
            << api << QByteArray("[::1]:8086") << "Origin: http://[::1]:8086\r\n" + sameOrigin
            << 201;
        QTest::newRow("form, localhost") << form << QByteArray("localhost:8086")
                                         << "Origin: http://localhost:8086\r\n" + sameOrigin
                                         << 303;
        QTest::newRow("a program, another name") << api << QByteArray("evil.example")
                                                 << QByteArray() << 201;
    }
    void shouldRefuseWritesFromPagesReachingTheSiteByAnotherName()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        setDay(nextDay_ += 200);
        const bool api = target.startsWith("/api/");
        const QByteArray body = api
            ? QByteArray(R"({"number":"13600007777","category":"骚扰电话"})")
            : QByteArray("number=13600007777&category=%E9%AA%9A%E6%89%B0%E7%94%B5%E8%AF%9D");
        const QByteArray request = "POST " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" +
            headers + "Content-Type: " +
            (api ? "application/json" : "application/x-www-form-urlencoded") +
            "\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        const RawResponse response = rawExchange(port_, request.toStdString());
        // Withdrawing tells whether the network's report was stored, and leaves none for the
        // next row.
        const int withdrawn =
            rawRequest("127.0.0.1", port_, "DELETE", "/api/v1/reports?number=13600007777").status;
        QVERIFY2(response.status == status, (response.head + "\r\n\r\n" + response.rest).c_str());
        QCOMPARE(withdrawn, status == 403 ? 404 : 204);
    }

    // Every route, with the statuses it answers: each answer ends where its framing says, so
    // that the next answer on the connection begins right after it.
    void shouldFrameEveryAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");  // kept alive; NUMBER is a number of the row's own
        QTest::addColumn<int>("status");
        // Each row names the route it reaches (its metrics label); every route must have one.
        std::set<std::string> reached;
        const auto row = [&reached](const char *name, const char *route) -> QTestData & {
            reached.insert(route);
            return QTest::newRow(name);
        };
        const auto get = [](const QByteArray &target, const QByteArray &fields = {}) {
            return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n";
        };
        const auto send = [](const QByteArray &method, const QByteArray &target,
                             const QByteArray &fields, const QByteArray &body) {
            return method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + fields +
                "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        const QByteArray json("Content-Type: application/json\r\n"),
            form("Content-Type: application/x-www-form-urlencoded\r\nOrigin: http://x\r\n"),
            multipart("Content-Type: multipart/form-data; boundary=b\r\n"),
            report(R"({"number":"NUMBER","category":"骚扰电话"})");
        // the window, the pages, the read-only API
        row("window lookup", "lookup") << get("/iii.asp?title=13800138000") << 200;
        row("window lookup, HEAD", "lookup")
            << QByteArray("HEAD /iii.asp?title=13800138000 HTTP/1.1\r\nHost: x\r\n\r\n") << 200;
        row("window lookup, POST", "lookup") << send("POST", "/iii.asp", {}, {}) << 405;
        row("home page", "home") << get("/") << 200;
        row("result page", "lookup_page") << get("/lookup?number=13800138000") << 200;
        row("result page, no number", "lookup_page") << get("/lookup?number=abc") << 200;
        row("API lookup", "api_lookup") << get("/api/v1/lookup?number=13800138000") << 200;
        row("API lookup, no number", "api_lookup") << get("/api/v1/lookup") << 400;
        row("API about", "api_about") << get("/api/v1/about") << 200;
        // batches and uploads
        row("batch", "api_batch") << send("POST", "/api/v1/lookup/batch", {}, "13800138000\n")
                                  << 200;
        row("batch, bad format", "api_batch")
            << send("POST", "/api/v1/lookup/batch?format=xml", {}, "1\n") << 400;
        row("upload", "upload")
            << send("POST", "/lookup/batch", multipart,
                    "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.csv\"\r\n"
                    "\r\n13800138000\r\n--b--\r\n")
            << 200;
        row("upload, not a form", "upload") << send("POST", "/lookup/batch", {}, "1\n") << 400;
        // files
        row("download not there", "download") << get("/download/none.deb") << 404;
        row("static file", "static") << get("/site.css") << 200;
        row("static file, not modified", "static")
            << get("/site.css", "If-None-Match: ETAG\r\n") << 304;
        row("static file, a range", "static") << get("/site.css", "Range: bytes=0-9\r\n") << 206;
        row("static file, a range past its end", "static")
            << get("/site.css", "Range: bytes=99999999-\r\n") << 416;
        // the process
        row("healthz", "healthz") << get("/healthz") << 200;
        row("readyz", "readyz") << get("/readyz") << 200;
        row("metrics", "metrics") << get("/metrics") << 200;
        // writes through the API
        row("report", "api_reports") << send("POST", "/api/v1/reports", json, report) << 201;
        row("report, unknown category", "api_reports")
            << send("POST", "/api/v1/reports", json, R"({"number":"NUMBER","category":"x"})")
            << 400;
        row("report, too large", "api_reports")
            << send("POST", "/api/v1/reports", json, QByteArray(5000, ' ')) << 413;
        row("report from another site", "api_reports")
            << send("POST", "/api/v1/reports", json + "Origin: http://evil.example\r\n", report)
            << 403;
        row("report, not JSON", "api_reports")
            << send("POST", "/api/v1/reports", "Content-Type: text/plain\r\n", report) << 415;
        row("report, withdrawn none", "api_reports")
            << send("DELETE", "/api/v1/reports?number=NUMBER", {}, {}) << 404;
        row("report, preflight", "api_reports")
            << send("OPTIONS", "/api/v1/reports",
                    "Origin: https://partner.example\r\nAccess-Control-Request-Method: POST\r\n",
                    {})
            << 204;
        row("report, GET", "api_reports") << get("/api/v1/reports") << 405;
        row("place", "api_places")
            << send("POST", "/api/v1/places", json, R"({"number":"NUMBER","province":"广东省"})")
            << 201;
        // the result page's forms
        row("report form", "reports")
            << send("POST", "/reports", form,
                    "number=NUMBER&category=%E9%AA%9A%E6%89%B0%E7%94%B5%E8%AF%9D")
            << 303;
        row("report form, unknown category", "reports")
            << send("POST", "/reports", form, "number=NUMBER&category=x") << 400;
        row("report form from another site", "reports")
            << send("POST", "/reports",
                    "Content-Type: application/x-www-form-urlencoded\r\n"
                    "Origin: http://evil.example\r\n",
                    "number=NUMBER&category=x")
            << 403;
        row("place form", "places")
            << send("POST", "/places", form, "number=NUMBER&province=%E5%B9%BF%E4%B8%9C%E7%9C%81")
            << 303;
        // no route, or no request
        row("no such page", "other") << get("/nowhere") << 404;
        row("a method no route takes", "home") << send("PUT", "/", {}, {}) << 405;
        row("a target too long", "other") << get("/" + QByteArray(9000, 'a')) << 414;
        row("not HTTP", "other") << QByteArray("HELLO\r\n\r\n") << 400;
        std::string missing;
        const Router router(siteRoutes(*site_));
        for (const std::string &route : router.labels())
            if (!reached.contains(route))
                missing += " " + route;
        if (!missing.empty())
            QTest::newRow("every route has a row")
                << QByteArray::fromStdString("routes without a row:" + missing) << 0;
    }
    void shouldFrameEveryAnswer()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        if (status == 0)
            QFAIL(request.constData());
        setDay(nextDay_ += 200);
        const bool place = QByteArray(QTest::currentDataTag()).startsWith("place");
        request.replace(
            "NUMBER",
            ((place ? u"1990%1"_s : u"1360%1"_s).arg(nextDay_ % 10000, 4, 10, QChar(u'0')) +
             u"000"_s)
                .toUtf8());
        // The number changed the body's length.
        if (const qsizetype length = request.indexOf("Content-Length: "); length >= 0) {
            const qsizetype bodyStart = request.indexOf("\r\n\r\n") + 4;
            const qsizetype lineEnd = request.indexOf("\r\n", length);
            request.replace(length, lineEnd - length,
                            "Content-Length: " + QByteArray::number(request.size() - bodyStart));
        }
        if (request.contains("ETAG"))
            request.replace("ETAG",
                            QByteArray::fromStdString(rawGet(port_, "/site.css").header("ETag")));
        const std::string next = "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        const RawResponse response =
            rawExchange(port_, request.toStdString() + next, std::chrono::milliseconds(3000));
        QCOMPARE(response.status, status);
        const std::string bytes = response.head + "\r\n\r\n" + response.rest;
        std::string problem;
        const size_t end = firstAnswerEnd(bytes, request.startsWith("HEAD"), problem);
        QVERIFY2(problem.empty(), (problem + ":\n" + response.head).c_str());
        if (end == std::string::npos || response.header("Connection") == "close") {
            QVERIFY(response.closedByServer);
            return;
        }
        // Kept alive: the next answer follows at once.
        QVERIFY2(bytes.compare(end, 15, "HTTP/1.1 200 OK") == 0, bytes.substr(end).c_str());
        QVERIFY2(bytes.ends_with("alive\n"), bytes.c_str());
    }

    // Refusals in the form and words of the route they were sent to.
    void shouldRefuseInTheRoutesOwnFormAndWords_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QString>("said");  // in the page or the JSON error
        QTest::addColumn<QString>("notSaid");
        const QByteArray end("Connection: close\r\n\r\n");
        const auto sized = [&end](const QByteArray &head, const QByteArray &body) {
            return head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + end +
                body;
        };
        const QByteArray formHead("POST /reports HTTP/1.1\r\nHost: x\r\nOrigin: http://x\r\n"
                                  "Content-Type: application/x-www-form-urlencoded\r\n"),
            apiHead(
                "POST /api/v1/reports HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n");
        const QString replaced(u"\uFFFD"_s), twentyOne(21, u'骚');
        // framing the parser cannot trust, on the API
        QTest::newRow("API, Content-Length with chunked")
            << apiHead + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n" + end + "0\r\n\r\n"
            << 400 << QByteArray("application/problem+json") << u"400"_s << QString();
        QTest::newRow("API, chunked with Content-Length")
            << apiHead + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n" + end + "0\r\n\r\n"
            << 400 << QByteArray("application/problem+json") << u"400"_s << QString();
        QTest::newRow("API lookup, a coding it cannot read")
            << "GET /api/v1/lookup?number=1 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n" +
                end
            << 400 << QByteArray("application/problem+json") << u"400"_s << QString();
        QTest::newRow("API, a request line too long")
            << "GET /api/v1/lookup?number=" + QByteArray(9000, '1') + " HTTP/1.1\r\nHost: x\r\n" +
                end
            << 414 << QByteArray("application/problem+json") << u"414"_s << QString();
        QTest::newRow("API, a version it does not know")
            << "GET /api/v1/about HTTP/1.2\r\nHost: x\r\n" + end << 400
            << QByteArray("application/problem+json") << u"400"_s << QString();
        QTest::newRow("API, a tab for the space before the version")
            << "GET /api/v1/about\tHTTP/1.1\r\nHost: x\r\n" + end << 400
            << QByteArray("application/problem+json") << u"400"_s << QString();
        QTest::newRow("page, a request line too long")
            << "GET /lookup?number=" + QByteArray(9000, '1') + " HTTP/1.1\r\nHost: x\r\n" + end
            << 414 << QByteArray("text/html") << u"414"_s << QString();
        QTest::newRow("page, Content-Length with chunked")
            << formHead + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n" + end + "0\r\n\r\n"
            << 400 << QByteArray("text/html") << u"400"_s << QString();
        // bodies over the limit
        QTest::newRow("report form over 4 KiB")
            << sized(formHead, "number=1&comment=" + QByteArray(4983, 'a')) << 413
            << QByteArray("text/html") << u"表单内容超过了本站接受的 4 KiB"_s << u"不带内容"_s;
        QTest::newRow("report form over 4 KiB, chunked")
            << formHead + "Transfer-Encoding: chunked\r\n" + end + "1388\r\n" +
                QByteArray(5000, 'a') + "\r\n0\r\n\r\n"
            << 413 << QByteArray("text/html") << u"表单内容超过了本站接受的 4 KiB"_s
            << u"不带内容"_s;
        QTest::newRow("API report over 4 KiB")
            << apiHead + "Content-Length: 5000\r\n" + end + QByteArray(5000, ' ') << 413
            << QByteArray("application/problem+json") << u"4 KiB"_s << u"不带内容"_s;
        QTest::newRow("a body to a page that takes none")
            << "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n" + end + "hello" << 413
            << QByteArray("text/html") << u"不带内容"_s << QString();
        // unknown categories echoed whole characters at a time
        QTest::newRow("API, a long unknown category")
            << sized(apiHead,
                     "{\"number\":\"13800138000\",\"category\":\"" + QString(30, u'骚').toUtf8() +
                         "\"}")
            << 400 << QByteArray("application/problem+json") << u"“"_s + twentyOne + u"…”"_s
            << replaced;
        QTest::newRow("form, a long unknown category")
            << sized(formHead,
                     "number=13800138000&category=" +
                         QString(30, u'骚').toUtf8().toPercentEncoding())
            << 400 << QByteArray("text/html") << u"“"_s + twentyOne + u"…”"_s << replaced;
        QTest::newRow("form, a category that is not UTF-8")
            << sized(formHead, "number=13800138000&category=%FF%FEabcd") << 400
            << QByteArray("text/html") << u"没有这个分类"_s << replaced;
    }
    void shouldRefuseInTheRoutesOwnFormAndWords()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, said);
        QFETCH(QString, notSaid);
        setDay(nextDay_ += 200);
        const RawResponse response = rawExchange(port_, request.toStdString());
        QVERIFY2(response.status == status, response.head.c_str());
        QVERIFY2(response.header("Content-Type").starts_with(contentType.toStdString()),
                 response.head.c_str());
        const QString text = contentType == "application/problem+json"
            ? QJsonDocument::fromJson(QByteArray::fromStdString(response.rest))
                  .object()[u"error"_s]
                  .toString()
            : QString::fromStdString(response.rest);
        QVERIFY2(text.contains(said), qPrintable(text));
        if (!notSaid.isEmpty())
            QVERIFY2(!text.contains(notSaid), qPrintable(text));
    }

    void shouldShowTheLabelFirstInTheWindowsReply()
    {
        setDay(nextDay_ += 200);
        for (int network = 1; network <= 3; ++network)
            QCOMPARE(report(network, u"13800138000"_s, u"骚扰电话"_s).status, 201);
        const RawResponse reply = rawGet(port_, "/iii.asp?title=13800138000");
        const QString text =
            QStringDecoder("GB18030").decode(QByteArray::fromStdString(reply.rest));
        const QStringList lines = text.split(u"\r\n"_s);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].startsWith(u"【骚扰电话】"_s), qPrintable(lines[0]));
        QCOMPARE(lines[1], u"号码：138 0013 8000 手机号码"_s);
        QCOMPARE(lines[2], u"归属地：北京市 中国移动 区号：010"_s);
    }

    // A connection lost while a statement runs (an administrator ending it, a failover) frees
    // what it had received: an instance loses many over its life.
    void shouldFreeWhatALostConnectionHeld()
    {
        const std::string uri = qgetenv("ZUNO_TEST_DATABASE").toStdString();
        if (uri.empty())
            QSKIP("a connection of PostgreSQL's own: run through pg-server.sh");
        PgConnection ender(uri);
        const auto loseOne = [&] {
            PgConnection victim(uri);
            const std::string pid(victim.run("SELECT pg_backend_pid()").text(0, 0));
            std::thread ending([&] {
                for (int tries = 0; tries < 500; ++tries) {
                    if (ender
                            .run("SELECT count(*) FROM pg_stat_activity WHERE pid = $1 AND "
                                 "state = 'active' AND query LIKE '%pg_sleep%'",
                                 {pid})
                            .integer(0, 0) > 0)
                        break;
                    std::this_thread::sleep_for(10ms);
                }
                ender.run("SELECT pg_terminate_backend($1)", {pid});
            });
            bool lost = false;
            try {
                victim.run("SELECT pg_sleep(30)");
            } catch (const PgError &error) {
                lost = error.lost();
            }
            ending.join();
            return lost;
        };
        // The first loss pays libpq's and the allocator's first-use costs, which stay.
        QVERIFY(loseOne());
        const size_t before = mallinfo2().uordblks;
        constexpr int kLosses = 40;
        for (int loss = 0; loss < kLosses; ++loss)
            QVERIFY(loseOne());
        const size_t after = mallinfo2().uordblks;
        // LeakSanitizer names the leak under the asan-ubsan preset; here the heap must not
        // grow by the kilobyte or so that each lost result would keep.
        QVERIFY2(
            after < before + 8 * 1024,
            qPrintable(u"the heap grew by %1 bytes over %2 lost connections"_s.arg(after - before)
                           .arg(kLosses)));
    }
};

QTEST_GUILESS_MAIN(TestLabels)
#include "tst_labels.moc"
