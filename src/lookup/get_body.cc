// SPDX-License-Identifier: Apache-2.0
#include "get_body.h"

#include "bytes_to_bstr.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <mutex>
#include <optional>

namespace zuno {

void FetchCancel::cancel()
{
    if (cancelled_)
        return;
    cancelled_ = true;
    emit cancelled();
}

namespace {

bool isWebScheme(const QUrl &url)
{
    const QString scheme = url.scheme();
    return scheme == u"http" || scheme == u"https";
}

// A response arrived when the exchange completed, whatever its status: Qt reports 4xx and 5xx
// statuses as errors of these two ranges but still delivers their bodies.
bool responseArrived(const QNetworkReply &reply)
{
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError)
        return true;
    const bool httpStatusError = (error >= QNetworkReply::ContentAccessDenied &&
                                  error <= QNetworkReply::UnknownContentError) ||
        (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
    return httpStatusError && reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

struct ReplyDeleter {
    void operator()(QNetworkReply *reply) const
    {
        reply->disconnect();
        reply->abort();
        delete reply;
    }
};

// Runs the exchange; returns the body, or nothing when no complete response arrived.
std::optional<QByteArray> fetch(const QUrl &url, const FetchOptions &options)
{
    if (!url.isValid() || !isWebScheme(url) || url.host().isEmpty())
        return std::nullopt;
    if (options.cancel && options.cancel->isCancelled())
        return std::nullopt;

    static std::once_flag proxySetup;
    std::call_once(proxySetup, [] { QNetworkProxyFactory::setUseSystemConfiguration(true); });

    // A manager of its own for each call: no connection, cookie or cache outlives the call.
    QNetworkAccessManager manager;
    manager.setAutoDeleteReplies(false);

    QNetworkRequest request(url);
    request.setRawHeader(QByteArrayLiteral("If-Modified-Since"), QByteArrayLiteral("0"));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // Qt follows redirects only to http and https, and with this policy never from https to http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(options.maxRedirects);
    // The deadline below covers the whole exchange; Qt's own timer restarts with every byte.
    request.setTransferTimeout(0);

    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(manager.get(request));
    QEventLoop loop;
    QByteArray body;
    bool failed = false;
    const auto fail = [&] {
        if (failed)
            return;
        failed = true;
        loop.quit();
        reply->abort();
    };

    // Reading as the bytes arrive lets the size limit act before the body is held whole.
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        body += reply->readAll();
        if (body.size() > options.maxBodyBytes)
            fail();
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, fail);
    deadline.start(options.timeLimit);

    if (options.cancel)
        QObject::connect(options.cancel, &FetchCancel::cancelled, &loop, fail);

    if (!reply->isFinished())
        loop.exec(options.loopFlags);
    if (failed || !reply->isFinished())
        return std::nullopt;
    body += reply->readAll();
    if (body.size() > options.maxBodyBytes || !responseArrived(*reply))
        return std::nullopt;
    return body;
}

}  // namespace

FetchedValue GetBody(const QString &URL, const QString &Coding,
                     const FetchOptions &options) noexcept
{
    FetchedValue result;
    // Every failure is absorbed here on purpose: the caller sees an empty value when nothing
    // arrived, and the unconverted bytes when only the conversion failed.
    try {
        if (std::optional<QByteArray> body = fetch(QUrl(URL), options))
            result = FetchedValue::fromBytes(body->toStdString());
    } catch (...) {}
    try {
        result = BytesToBstr(result, Coding);
    } catch (...) {}
    return result;
}

}  // namespace zuno
