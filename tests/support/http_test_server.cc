#include "http_test_server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <zlib.h>

#include <stdexcept>

namespace zuno::test {

namespace {

constexpr qsizetype kMaxHead = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return QByteArrayLiteral("OK");
    case 301: return QByteArrayLiteral("Moved Permanently");
    case 302: return QByteArrayLiteral("Found");
    case 404: return QByteArrayLiteral("Not Found");
    case 500: return QByteArrayLiteral("Internal Server Error");
    default: return QByteArrayLiteral("Status");
    }
}

QByteArray gzipCompress(const QByteArray &data)
{
    z_stream stream{};
    // 15 + 16: a gzip wrapper rather than a zlib one.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))) + 32, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate did not finish");
    out.truncate(qsizetype(stream.total_out));
    return out;
}

RecordedRequest parseHead(const QByteArray &head)
{
    RecordedRequest request;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
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

QByteArray RecordedRequest::rawQueryValue(QByteArrayView name) const
{
    const qsizetype question = target.indexOf('?');
    if (question < 0)
        return {};
    for (const QByteArray &pair : target.mid(question + 1).split('&')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals >= 0 && QByteArrayView(pair).first(equals) == name)
            return pair.mid(equals + 1);
    }
    return {};
}

Reply Reply::text(QByteArray body, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain")});
    return reply;
}

Reply Reply::redirect(QByteArray location, int status)
{
    Reply reply;
    reply.status = status;
    reply.headers.append({QByteArrayLiteral("Location"), std::move(location)});
    return reply;
}

Reply Reply::closeWithoutAnswer()
{
    Reply reply;
    reply.kind = Kind::CloseWithoutAnswer;
    return reply;
}

Reply Reply::neverAnswer()
{
    Reply reply;
    reply.kind = Kind::NeverAnswer;
    return reply;
}

Reply Reply::trickle(std::chrono::milliseconds interval)
{
    Reply reply;
    reply.kind = Kind::Trickle;
    reply.trickleInterval = interval;
    return reply;
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent), server_(new QTcpServer(this))
{
    if (!server_->listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("test server cannot listen: " + server_->errorString().toStdString());
    connect(server_, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer() = default;

quint16 HttpTestServer::port() const
{
    return server_->serverPort();
}

QString HttpTestServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QString HttpTestServer::url(const QString &pathAndQuery) const
{
    return QStringLiteral("http://") + hostAndPort() + pathAndQuery;
}

void HttpTestServer::setReply(Reply reply)
{
    defaultReply_ = std::move(reply);
}

void HttpTestServer::setReply(const QByteArray &path, Reply reply)
{
    replies_[path] = std::move(reply);
}

const Reply &HttpTestServer::replyFor(const QByteArray &target) const
{
    const qsizetype question = target.indexOf('?');
    const auto found = replies_.find(question < 0 ? target : target.left(question));
    return found == replies_.end() ? defaultReply_ : found->second;
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    // Requests carry no body here: everything up to the blank line is the whole request.
    QByteArray buffered = socket->property("buffered").toByteArray() + socket->readAll();
    for (qsizetype end; (end = buffered.indexOf("\r\n\r\n")) >= 0;) {
        const RecordedRequest request = parseHead(buffered.left(end));
        buffered.remove(0, end + 4);
        requests_.append(request);
        answer(socket, replyFor(request.target));
    }
    if (buffered.size() > kMaxHead)
        socket->abort();
    else
        socket->setProperty("buffered", buffered);
}

void HttpTestServer::answer(QTcpSocket *socket, const Reply &reply)
{
    switch (reply.kind) {
    case Reply::Kind::CloseWithoutAnswer:
        socket->disconnectFromHost();
        return;
    case Reply::Kind::NeverAnswer:
        return;
    case Reply::Kind::Trickle: {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000000000\r\n\r\n");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(reply.trickleInterval);
        return;
    }
    case Reply::Kind::Answer:
        break;
    }

    const QByteArray body = reply.gzip ? gzipCompress(reply.body) : reply.body;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + reasonPhrase(reply.status) + "\r\n";
    for (const auto &[name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    if (reply.gzip)
        head += "Content-Encoding: gzip\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    socket->write(head);
    socket->write(body);
    socket->disconnectFromHost();
}

}  // namespace zuno::test
