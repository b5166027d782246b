// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpServer;

namespace zuno::bench {

// An HTTP server on 127.0.0.1 and a free port, served by the thread that created it, that
// answers every request head with 200, the same text body and Connection: close.
class CannedReplyServer : public QObject
{
public:
    explicit CannedReplyServer(QByteArray body, QObject *parent = nullptr);

    QString hostAndPort() const;                     // "127.0.0.1:PORT"
    QString url(const QString &pathAndQuery) const;  // "http://127.0.0.1:PORT" + pathAndQuery
    qsizetype requestCount() const { return requests_; }

private:
    QTcpServer *server_;
    QByteArray answer_;
    qsizetype requests_ = 0;
};

}  // namespace zuno::bench
