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

struct RecordedRequest {
    QByteArray method;
    QByteArray target;  // as it stood in the request line
    QList<std::pair<QByteArray, QByteArray>> headers;

    // Values of every header with this name, compared without regard to case.
    QList<QByteArray> headerValues(QByteArrayView name) const;
    // The query value of "title" exactly as it was on the wire (still percent-encoded).
    QByteArray rawQueryValue(QByteArrayView name) const;
};

// What the server does with a request.
struct Reply {
    enum class Kind {
        Answer,              // status line, headers and body
        CloseWithoutAnswer,  // reads the request, then closes the connection
        NeverAnswer,         // reads the request and keeps the connection open, silent
        Trickle,             // sends the headers, then one body byte per interval, for ever
    };

    Kind kind = Kind::Answer;
    int status = 200;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool gzip = false;  // send the body gzip-compressed with Content-Encoding: gzip
    std::chrono::milliseconds trickleInterval{20};

    static Reply text(QByteArray body, int status = 200);
    static Reply redirect(QByteArray location, int status = 302);
    static Reply closeWithoutAnswer();
    static Reply neverAnswer();
    static Reply trickle(std::chrono::milliseconds interval);
};

// A real HTTP/1.1 server on 127.0.0.1 and a free port, served by the thread that created it.
class HttpTestServer : public QObject {
    Q_OBJECT
public:
    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    quint16 port() const;
    QString hostAndPort() const;                  // "127.0.0.1:PORT"
    QString url(const QString &pathAndQuery) const;  // "http://127.0.0.1:PORT" + pathAndQuery

    void setReply(Reply reply);                          // for every path without its own
    void setReply(const QByteArray &path, Reply reply);  // for one path (query ignored)

    const QList<RecordedRequest> &requests() const { return requests_; }
    void clearRequests() { requests_.clear(); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Reply &reply);
    const Reply &replyFor(const QByteArray &target) const;

    QTcpServer *server_;
    Reply defaultReply_;
    std::map<QByteArray, Reply> replies_;
    QList<RecordedRequest> requests_;
};

}  // namespace zuno::test
