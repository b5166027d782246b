// SPDX-License-Identifier: Apache-2.0
// Service headers before any Qt header: Qt's keyword macros must not reach Boost.
#include "pg_store.h"
#include "server.h"
#include "site.h"
#include "sqlite_store.h"

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
        std::string rows;
        for (size_t at = 0;;) {
            const size_t lineEnd = response.rest.find("\r\n", at);
            const size_t size = lineEnd == std::string::npos
                ? 0
                : std::stoul(response.rest.substr(at, lineEnd - at), nullptr, 16);
            if (size == 0)
                break;
            rows += response.rest.substr(lineEnd + 2, size);
            at = lineEnd + 2 + size + 2;
        }
        return QJsonDocument::fromJson(QByteArray::fromStdString(rows)).object();
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
        QVERIFY(std::stoi(refused.header("Retry-After")) > 0);
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
                           "X-Forwarded-For: " + forwardedFor[i].toStdString() + "\r\n");
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
        if (expected == u"none"_s) {
            QVERIFY(answer[u"location"_s].isNull());
            QCOMPARE(lines[1], u"归属地：暂无数据"_s);
            QVERIFY(page.find("补充归属地") != std::string::npos);
            return;
        }
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
