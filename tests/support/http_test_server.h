// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <map>
#include <utility>

class QTcpServer;
class QTcpSocket;

namespace zuno::test {

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

struct RecordedRequest {
    QByteArray method;
    QByteArray target;  // as it stood in the request line
    HeaderList headers;

    // Values of every header with this name, compared without regard to case.
    QList<QByteArray> headerValues(QByteArrayView name) const;
};

// What the server does with a request.
struct Reply {
    enum class Kind {
        Answer,              // status line, headers and body
        CloseWithoutAnswer,  // reads the request, then closes the connection
        NeverAnswer,         // reads the request and keeps the connection open, silent
        Trickle,             // sends the headers, then one body byte every 20 ms, for ever
    };

    Kind kind = Kind::Answer;
    int status = 200;
    HeaderList headers{};
    QByteArray body{};
    bool deflate = false;               // send the body compressed, with Content-Encoding: deflate
    std::chrono::milliseconds delay{};  // how long an Answer waits before it is sent

    static Reply text(QByteArray body, int status = 200)
    {
        return {Kind::Answer, status, {{"Content-Type", "text/plain"}}, std::move(body)};
    }
    static Reply redirect(QByteArray location, QByteArray body = {})
    {
        return {Kind::Answer, 302, {{"Location", std::move(location)}}, std::move(body)};
    }
    static Reply closeWithoutAnswer() { return {Kind::CloseWithoutAnswer}; }
    static Reply neverAnswer() { return {Kind::NeverAnswer}; }
    static Reply trickle() { return {Kind::Trickle}; }
};

// A real HTTP/1.1 server on 127.0.0.1 and a free port, served by the thread that created it.
class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    explicit HttpTestServer(QObject *parent = nullptr);

    QString hostAndPort() const;                     // "127.0.0.1:PORT"
    QString url(const QString &pathAndQuery) const;  // "http://127.0.0.1:PORT" + pathAndQuery

    // The reply for one path (whatever the query), and for every other path.
    void setReply(const QByteArray &path, Reply reply) { replies_[path] = std::move(reply); }
    void setReply(Reply reply) { defaultReply_ = std::move(reply); }

    const QList<RecordedRequest> &requests() const { return requests_; }

private:
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Reply &reply);
    static void sendAnswer(QTcpSocket *socket, const Reply &reply);

    QTcpServer *server_;
    Reply defaultReply_;
    std::map<QByteArray, Reply> replies_;
    QList<RecordedRequest> requests_;
};

}  // namespace zuno::test
