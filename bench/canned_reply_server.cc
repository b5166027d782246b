// SPDX-License-Identifier: Apache-2.0
#include "canned_reply_server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace zuno::bench {
namespace {

constexpr qsizetype kMaxHead = 64 * 1024;

}  // namespace

CannedReplyServer::CannedReplyServer(QByteArray body, QObject *parent)
    : QObject(parent),
      server_(new QTcpServer(this)),
      answer_("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body)
{
    if (!server_->listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("cannot listen: " + server_->errorString().toStdString());
    connect(server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_->nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                // Requests carry no body: the first head is the whole request, and the only one
                // answered, since the answer closes the connection.
                QByteArray buffered =
                    socket->property("buffered").toByteArray() + socket->readAll();
                if (socket->property("answered").toBool())
                    return;
                if (buffered.contains("\r\n\r\n")) {
                    ++requests_;
                    socket->setProperty("answered", true);
                    socket->write(answer_);
                    socket->disconnectFromHost();
                } else if (buffered.size() > kMaxHead) {
                    socket->abort();
                } else {
                    socket->setProperty("buffered", buffered);
                }
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString CannedReplyServer::hostAndPort() const
{
    return u"127.0.0.1:%1"_s.arg(server_->serverPort());
}

QString CannedReplyServer::url(const QString &pathAndQuery) const
{
    return u"http://"_s + hostAndPort() + pathAndQuery;
}

}  // namespace zuno::bench
