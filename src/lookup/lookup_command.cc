// SPDX-License-Identifier: Apache-2.0
#include "lookup_command.h"

#include <QByteArray>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace zuno {
namespace {

// A reply is shown only when it is longer than this many UTF-16 code units.
constexpr qsizetype kAcceptanceThreshold = 9;

// "http://" + serviceHost + "/iii.asp?title=": the typed text follows the equals sign.
QString lookupUrlPrefix(const QString &serviceHost)
{
    return u"http://"_s + serviceHost + u"/iii.asp?title="_s;
}

// Shown when no usable reply came back.
QString failureMessage() { return u"连接网络失败!"_s; }

// The reply whole when it is long enough, the failure message otherwise.
QString textToShow(const FetchedValue &reply)
{
    if (reply.length() > kAcceptanceThreshold)
        return reply.toText();
    return failureMessage();
}

}  // namespace

QString lookupUrl(const QString &serviceHost, const QString &typedText)
{
    // toPercentEncoding keeps exactly ALPHA, DIGIT, '-', '.', '_' and '~' of the UTF-8 bytes.
    return lookupUrlPrefix(serviceHost) + QString::fromLatin1(QUrl::toPercentEncoding(typedText));
}

QString runLookup(const QString &serviceHost, const QString &typedText, const FetchOptions &options)
{
    return textToShow(GetBody(lookupUrl(serviceHost, typedText), u"GB2312"_s, options));
}

}  // namespace zuno
