#include "lookup_command.h"

#include "http_test_server.h"

#include <QTest>

using namespace Qt::StringLiterals;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

Q_DECLARE_METATYPE(zuno::test::Reply)

namespace {

const QByteArray kFiveHanziGb2312("\xb1\xb1\xbe\xa9\xca\xd0\xba\xa3\xb5\xed");  // 北京市海淀

}  // namespace

class TestLookupCommand : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void shouldSendTheTypedTextAsTheOneTitleParameter_data();
    void shouldSendTheTypedTextAsTheOneTitleParameter();

    void shouldShowOnlyRepliesLongerThanNineCharacters_data();
    void shouldShowOnlyRepliesLongerThanNineCharacters();

private:
    std::unique_ptr<HttpTestServer> server_;
};

void TestLookupCommand::init()
{
    server_ = std::make_unique<HttpTestServer>();
    server_->setReply(Reply::text("0123456789 reply"));
}

void TestLookupCommand::shouldSendTheTypedTextAsTheOneTitleParameter_data()
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

void TestLookupCommand::shouldSendTheTypedTextAsTheOneTitleParameter()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, onTheWire);

    zuno::runLookup(server_->hostAndPort(), typed);

    QCOMPARE(server_->requests().size(), 1);
    QCOMPARE(server_->requests().first().target, "/iii.asp?title=" + onTheWire);
}

void TestLookupCommand::shouldShowOnlyRepliesLongerThanNineCharacters_data()
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
    QTest::newRow("closed without an answer") << Reply::closeWithoutAnswer() << failure;
}

void TestLookupCommand::shouldShowOnlyRepliesLongerThanNineCharacters()
{
    QFETCH(Reply, reply);
    QFETCH(QString, shown);
    server_->setReply(reply);
    QCOMPARE(zuno::runLookup(server_->hostAndPort(), u"13800138000"_s), shown);
}

QTEST_GUILESS_MAIN(TestLookupCommand)
#include "tst_lookup_command.moc"
