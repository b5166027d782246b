// SPDX-License-Identifier: Apache-2.0
#include "http_test_server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace zuno::test {

namespace {

constexpr qsizetype kMaxHead = 64 * 1024;

RecordedRequest parseHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    RecordedRequest request{requestLine.value(0), requestLine.value(1), {}};
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return request;
}

}  // namespace

QList<QByteArray> RecordedRequest::headerValues(QByteArrayView name) const
{
    QList<QByteArray> values;
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            values.append(value);
    }
    return values;
}

HttpTestServer::HttpTestServer(QObject *parent) : QObject(parent), server_(new QTcpServer(this))
{
    if (!server_->listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("test server cannot listen: " +
                                 server_->errorString().toStdString());
    connect(server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_->nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString HttpTestServer::hostAndPort() const { return u"127.0.0.1:%1"_s.arg(server_->serverPort()); }

QString HttpTestServer::url(const QString &pathAndQuery) const
{
    return u"http://"_s + hostAndPort() + pathAndQuery;
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    // Requests carry no body here: everything up to the blank line is the whole request.
    QByteArray buffered = socket->property("buffered").toByteArray() + socket->readAll();
    for (qsizetype end; (end = buffered.indexOf("\r\n\r\n")) >= 0;) {
        const RecordedRequest request = parseHead(buffered.left(end));
        buffered.remove(0, end + 4);
        requests_.append(request);
        const auto found = replies_.find(request.target.split('?').constFirst());
        answer(socket, found == replies_.end() ? defaultReply_ : found->second);
    }
    if (buffered.size() > kMaxHead)
        socket->abort();
    else
        socket->setProperty("buffered", buffered);
}

void HttpTestServer::answer(QTcpSocket *socket, const Reply &reply)
{
    switch (reply.kind) {
    case Reply::Kind::CloseWithoutAnswer: socket->disconnectFromHost(); return;
    case Reply::Kind::NeverAnswer: return;
    case Reply::Kind::Trickle: {
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000000000\r\n\r\n");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(20);
        return;
    }
    case Reply::Kind::Answer: break;
    }
    if (reply.delay.count() > 0)
        QTimer::singleShot(reply.delay, socket, [socket, reply] { sendAnswer(socket, reply); });
    else
        sendAnswer(socket, reply);
}

void HttpTestServer::sendAnswer(QTcpSocket *socket, const Reply &reply)
{
    // HTTP's "deflate" is a zlib stream: qCompress's, after the four bytes of length it puts first.
    const QByteArray body = reply.deflate ? qCompress(reply.body).mid(4) : reply.body;
    // Clients read the status code; the reason phrase is free text.
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " Status\r\n";
    for (const auto &[name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    if (reply.deflate)
        head += "Content-Encoding: deflate\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    socket->write(head);
    socket->write(body);
    socket->disconnectFromHost();
}

}  // namespace zuno::test
