// SPDX-License-Identifier: Apache-2.0
// Service headers before any Qt header: Qt's keyword macros must not reach Boost.
#include "server/deadlines.h"
#include "server/response_writer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/write.hpp>

#include <QTest>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <sstream>
#include <thread>

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace http = boost::beast::http;

namespace {

using HeadResponse = http::response<http::empty_body>;

HeadResponse response(http::status status, unsigned version)
{
    HeadResponse message(status, version);
    return message;
}

// The head as Beast's own serializer writes it, for comparison.
std::string serializedHead(const HeadResponse &message)
{
    std::ostringstream out;
    out << message;
    const std::string all = out.str();
    return all.substr(0, all.find("\r\n\r\n") + 4);
}

// Bytes written on the socket that the peer's system has not acknowledged yet.
int unacknowledged(int socket)
{
    int bytes = 0;
    return ioctl(socket, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

}  // namespace

Q_DECLARE_METATYPE(HeadResponse)

class ConnectionPartsTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldWriteHeadsAsBeastsSerializerDoes_data();
    void shouldWriteHeadsAsBeastsSerializerDoes();
    void shouldRenewTheSendDeadlineOnlyForNewlyAcknowledgedBytes();
};

void ConnectionPartsTest::shouldWriteHeadsAsBeastsSerializerDoes_data()
{
    QTest::addColumn<HeadResponse>("message");

    // Status lines
    QTest::newRow("HTTP/1.1 200") << response(http::status::ok, 11);
    QTest::newRow("HTTP/1.0 404") << response(http::status::not_found, 10);
    QTest::newRow("a status with a long reason")
        << response(http::status::request_header_fields_too_large, 11);
    QTest::newRow("a status Beast has no reason for")
        << response(static_cast<http::status>(599), 11);
    {
        HeadResponse ownReason = response(http::status::ok, 11);
        ownReason.reason("Fine Indeed");
        QTest::newRow("a reason of its own") << ownReason;
    }

    // Fields
    {
        HeadResponse fields = response(http::status::ok, 11);
        fields.set(http::field::content_type, "text/plain; charset=gb2312");
        fields.set(http::field::server, "zuno-lookupd/1.00");
        fields.content_length(43);
        QTest::newRow("fields in the order set") << fields;
    }
    {
        HeadResponse repeated = response(http::status::ok, 11);
        repeated.insert(http::field::set_cookie, "a=1");
        repeated.insert(http::field::set_cookie, "b=2");
        repeated.insert("X-Own-Field", "with \t a tab");
        QTest::newRow("a repeated field and one of its own name") << repeated;
    }
    {
        HeadResponse chunked = response(http::status::ok, 11);
        chunked.chunked(true);
        chunked.keep_alive(false);
        QTest::newRow("chunked, closing") << chunked;
    }
}

void ConnectionPartsTest::shouldWriteHeadsAsBeastsSerializerDoes()
{
    QFETCH(HeadResponse, message);
    std::string written;
    zuno::service::appendHeader(written, message.base());
    QCOMPARE(written, serializedHead(message));
}

void ConnectionPartsTest::shouldRenewTheSendDeadlineOnlyForNewlyAcknowledgedBytes()
{
    asio::io_context context;
    asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::socket client(context);
    client.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket server = acceptor.accept();
    const int socket = server.native_handle();

    zuno::service::ConnectionLimits limits;
    limits.sendStallTimeout = 1h;
    zuno::service::Deadlines deadlines(limits);
    const auto now = std::chrono::steady_clock::now();

    // Nothing written: no progress, and no deadline set.
    QVERIFY(!deadlines.acknowledgedMore(socket, 0, now));
    QVERIFY(!deadlines.passed(now + 24h));

    const auto waitForAcknowledgement = [socket] {
        for (int i = 0; i < 200 && unacknowledged(socket) != 0; ++i)
            std::this_thread::sleep_for(10ms);
        return unacknowledged(socket) == 0;
    };
    const std::string bytes(1000, 'x');
    asio::write(server, asio::buffer(bytes));
    QVERIFY(waitForAcknowledgement());
    QVERIFY(deadlines.acknowledgedMore(socket, 1000, now));
    QVERIFY(!deadlines.passed(now + 59min));
    QVERIFY(deadlines.passed(now + 61min));

    // The same bytes again are no progress: the deadline stays where it was.
    QVERIFY(!deadlines.acknowledgedMore(socket, 1000, now + 30min));
    QVERIFY(deadlines.passed(now + 61min));

    asio::write(server, asio::buffer(bytes));
    QVERIFY(waitForAcknowledgement());
    QVERIFY(deadlines.acknowledgedMore(socket, 2000, now + 30min));
    QVERIFY(!deadlines.passed(now + 89min));

    // A socket the system cannot look into is no progress either.
    QVERIFY(!deadlines.acknowledgedMore(-1, 3000, now + 40min));
    QVERIFY(deadlines.passed(now + 91min));
}

QTEST_GUILESS_MAIN(ConnectionPartsTest)
#include "tst_connection_parts.moc"
