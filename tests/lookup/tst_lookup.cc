// SPDX-License-Identifier: Apache-2.0
#include "bytes_to_bstr.h"
#include "get_body.h"
#include "lookup_command.h"

#include "gbk_decoding_rows.h"
#include "http_test_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using zuno::BytesToBstr;
using zuno::ConversionError;
using zuno::FetchCancel;
using zuno::FetchedValue;
using zuno::FetchOptions;
using zuno::GetBody;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

Q_DECLARE_METATYPE(zuno::FetchedValue)
Q_DECLARE_METATYPE(zuno::test::Reply)

namespace {

const QByteArray kBeijingGbk("\xb1\xb1\xbe\xa9\xca\xd0");                       // 北京市
const QByteArray kFiveHanziGb2312("\xb1\xb1\xbe\xa9\xca\xd0\xba\xa3\xb5\xed");  // 北京市海淀

QString textOf(const FetchedValue &value) { return QString::fromStdU16String(value.toText()); }
qsizetype lengthOf(const FetchedValue &value) { return qsizetype(value.length()); }
FetchedValue bytesValue(const QByteArray &bytes) { return FetchedValue::fromBytes(bytes.toStdString()); }

}  // namespace

class TestLookup : public QObject
{
    Q_OBJECT

private slots:
    void init() { server_ = std::make_unique<HttpTestServer>(); }

    // Decoding the body
    void shouldDecodeEveryRowOfTheSharedTable_data();
    void shouldDecodeEveryRowOfTheSharedTable();
    void shouldDecodeBytes_data();
    void shouldDecodeBytes();
    void shouldRefuseWhatItCannotConvert_data();
    void shouldRefuseWhatItCannotConvert();
    void shouldDecodeTheWholeOfALargeBlock();

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
    void shouldFollowRedirectsUpToTheLimit();
    void shouldRefuseABodyOverEightMebibytes();

    // The click
    void shouldSendTheTypedTextAsTheOneTitleParameter_data();
    void shouldSendTheTypedTextAsTheOneTitleParameter();
    void shouldShowOnlyRepliesLongerThanNineCharacters_data();
    void shouldShowOnlyRepliesLongerThanNineCharacters();

private:
    std::unique_ptr<HttpTestServer> server_;
};

// The table every window's decoder passes: "GB2312" read as code page 936.
void TestLookup::shouldDecodeEveryRowOfTheSharedTable_data() { addGbkDecodingRows(); }

void TestLookup::shouldDecodeEveryRowOfTheSharedTable()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const FetchedValue text = BytesToBstr(bytesValue(bytes), u"GB2312"_s);
    QVERIFY(text.isText());
    QCOMPARE(textOf(text), expected);
}

void TestLookup::shouldDecodeBytes_data()
{
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    // 镕 is outside GB2312: a strict EUC-CN table would turn it into a control character.
    for (const QString &label :
         {u"gb2312"_s, u"gbk"_s, u"chinese"_s, u"csgb2312"_s, u"csiso58gb231280"_s, u"gb_2312"_s,
          u"GB_2312-80"_s, u"iso-ir-58"_s, u"x-gbk"_s, u" GBK\t"_s})
        QTest::addRow("label %s", qPrintable(label))
            << label << QByteArray("\xe9\x46\xb1\xb1") << u"镕北"_s;

    // Other charsets go to ICU
    QTest::newRow("utf-8 malformed") << u"utf-8"_s << QByteArray("a\xc3") << u"a\uFFFD"_s;
    QTest::newRow("big5") << u"Big5"_s << QByteArray("\xa5\x5f\xa8\xca") << u"北京"_s;
}

void TestLookup::shouldDecodeBytes()
{
    QFETCH(QString, charset);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    const FetchedValue text = BytesToBstr(bytesValue(bytes), charset);
    QVERIFY(text.isText());
    QCOMPARE(textOf(text), expected);
}

void TestLookup::shouldRefuseWhatItCannotConvert_data()
{
    QTest::addColumn<FetchedValue>("value");
    QTest::addColumn<QString>("label");
    const FetchedValue bytes = FetchedValue::fromBytes("abc");
    QTest::newRow("unknown name") << bytes << u"no-such-charset"_s;
    QTest::newRow("empty name") << bytes << QString();
    QTest::newRow("blank name") << bytes << u"   "_s;
    QTest::newRow("non-ascii name") << bytes << u"国标"_s;
    QTest::newRow("a value holding text") << FetchedValue::fromText(u"北京") << u"GB2312"_s;
}

void TestLookup::shouldRefuseWhatItCannotConvert()
{
    QFETCH(FetchedValue, value);
    QFETCH(QString, label);
    QVERIFY_THROWS_EXCEPTION(ConversionError, BytesToBstr(value, label));
}

void TestLookup::shouldDecodeTheWholeOfALargeBlock()
{
    // Ends in an ASCII byte so that the last character shows the tail was reached.
    QByteArray bytes = QByteArray("\xb1\xb1\xbe\xa9").repeated(300'000) + '!';
    const QString text = textOf(BytesToBstr(bytesValue(bytes), u"GB2312"_s));
    QCOMPARE(text.size(), 600'001);
    QVERIFY(text.startsWith(u"北京北京"_s));
    QVERIFY(text.endsWith(u"北京!"_s));
    QVERIFY(!text.contains(QChar(0xFFFD)));
}

void TestLookup::shouldSendOneConditionalGetAndReturnTheBodyAsGbkText_data()
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
void TestLookup::shouldSendOneConditionalGetAndReturnTheBodyAsGbkText()
{
    QFETCH(Reply, reply);
    QFETCH(QString, expected);
    server_->setReply(reply);
    const QString url = server_->url(u"/iii.asp?title=13800138000"_s);
    GetBody(url);
    const FetchedValue value = GetBody(url);
    QVERIFY(value.isText());
    QCOMPARE(textOf(value), expected);

    QCOMPARE(server_->requests().size(), 2);
    for (const zuno::test::RecordedRequest &request : server_->requests()) {
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/iii.asp?title=13800138000"));
        QCOMPARE(request.headerValues("If-Modified-Since"), QList<QByteArray>{"0"});
        QVERIFY(request.headerValues("Authorization").isEmpty());
        QVERIFY(request.headerValues("Cookie").isEmpty());
    }
}

void TestLookup::shouldReturnTheBytesWhenTheCharsetIsUnknown()
{
    server_->setReply(Reply::text(kBeijingGbk));
    const FetchedValue value = GetBody(server_->url(u"/"_s), u"no-such-charset"_s);
    QVERIFY(value.isBytes());
    QCOMPARE(QByteArray::fromStdString(value.bytes()), kBeijingGbk);
}

void TestLookup::shouldReturnNothingWhenNoResponseArrives_data()
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

void TestLookup::shouldReturnNothingWhenNoResponseArrives()
{
    QFETCH(QString, url);
    QFETCH(Reply, reply);
    server_->setReply(reply);
    FetchOptions options;
    options.timeLimit = 10s;
    QCOMPARE(lengthOf(GetBody(url.startsWith(u'/') ? server_->url(url) : url, u"GB2312"_s, options)),
             0);
}

void TestLookup::shouldGiveUpAtTheTimeLimitOrWhenCancelled_data()
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

void TestLookup::shouldGiveUpAtTheTimeLimitOrWhenCancelled()
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
    QCOMPARE(lengthOf(GetBody(server_->url(u"/"_s), u"GB2312"_s, options)), 0);
    QVERIFY2(clock.elapsed() >= atLeast && clock.elapsed() < 5000,
             qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(50);
    QCOMPARE(server_->requests().size(), cancelAfter == 0 ? 0 : 1);
}

void TestLookup::shouldFollowRedirectsUpToTheLimit()
{
    const auto hop = [](int n) { return "/hop" + QByteArray::number(n); };
    for (int n = 0; n < 11; ++n)
        server_->setReply(hop(n), Reply::redirect(hop(n + 1)));
    server_->setReply(hop(11), Reply::text("arrived after the hops"));
    // One hop and ten arrive; eleven do not.
    QCOMPARE(textOf(GetBody(server_->url(u"/hop10"_s))), u"arrived after the hops"_s);
    QCOMPARE(textOf(GetBody(server_->url(u"/hop1"_s))), u"arrived after the hops"_s);
    QCOMPARE(textOf(GetBody(server_->url(u"/hop0"_s))), QString());
}

void TestLookup::shouldRefuseABodyOverEightMebibytes()
{
    constexpr qsizetype limit = 8 * 1024 * 1024;
    server_->setReply(Reply::text(QByteArray(limit, 'a')));
    QCOMPARE(lengthOf(GetBody(server_->url(u"/"_s))), limit);

    server_->setReply(Reply::text(QByteArray(limit + 1, 'a')));
    QCOMPARE(lengthOf(GetBody(server_->url(u"/"_s))), 0);
}

void TestLookup::shouldSendTheTypedTextAsTheOneTitleParameter_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("onTheWire");

    // Characters that stand in a URL as they are
    QTest::newRow("digits") << u"13800138000"_s << QByteArray("13800138000");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("unreserved punctuation") << u"a-b.c_d~e"_s << QByteArray("a-b.c_d~e");

    // Spaces, and every character that would cut the URL, add a parameter or read as an escape
    QTest::newRow("delimiters") << u" 138&title=1#+%25\r\n/?c "_s
                                << QByteArray("%20138%26title%3D1%23%2B%2525%0D%0A%2F%3Fc%20");

    // Text beyond ASCII goes out as the percent-encoded bytes of its UTF-8
    QTest::newRow("Chinese") << u"北京"_s << QByteArray("%E5%8C%97%E4%BA%AC");
}

void TestLookup::shouldSendTheTypedTextAsTheOneTitleParameter()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, onTheWire);

    zuno::runLookup(server_->hostAndPort(), typed);

    QCOMPARE(server_->requests().size(), 1);
    QCOMPARE(server_->requests().first().target, "/iii.asp?title=" + onTheWire);
}

void TestLookup::shouldShowOnlyRepliesLongerThanNineCharacters_data()
{
    const QString failure = u"连接网络失败!"_s;
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("shown");

    // Around the threshold, counted in characters
    QTest::newRow("nine characters") << Reply::text("123456789") << failure;
    QTest::newRow("ten characters") << Reply::text("1234567890") << u"1234567890"_s;
    QTest::newRow("nine digits and a line break") << Reply::text("123456789\n") << u"123456789\n"_s;
    QTest::newRow("five hanzi, ten bytes") << Reply::text(kFiveHanziGb2312) << failure;

    // A usable reply is shown whole, whatever it says
    QTest::newRow("markup and spaces kept")
        << Reply::text("  <b>13800138000 " + kFiveHanziGb2312 + "</b>\r\n")
        << u"  <b>13800138000 北京市海淀</b>\r\n"_s;

    // Nothing usable came back
    QTest::newRow("empty body") << Reply::text(QByteArray()) << failure;
}

void TestLookup::shouldShowOnlyRepliesLongerThanNineCharacters()
{
    QFETCH(Reply, reply);
    QFETCH(QString, shown);
    server_->setReply(reply);
    QCOMPARE(zuno::runLookup(server_->hostAndPort(), u"13800138000"_s), shown);
}

QTEST_GUILESS_MAIN(TestLookup)
#include "tst_lookup.moc"
