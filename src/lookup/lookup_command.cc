#include "lookup/lookup_command.h"

#include <QByteArray>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace zuno {

QString lookupUrlPrefix(const QString &serviceHost)
{
    return u"http://"_s + serviceHost + u"/iii.asp?title="_s;
}

QString lookupUrl(const QString &serviceHost, const QString &typedText)
{
    // toPercentEncoding keeps exactly ALPHA, DIGIT, '-', '.', '_' and '~' of the UTF-8 bytes.
    return lookupUrlPrefix(serviceHost) + QString::fromLatin1(QUrl::toPercentEncoding(typedText));
}

QString failureMessage()
{
    return u"连接网络失败!"_s;
}

QString textToShow(const FetchedValue &reply)
{
    if (reply.length() > kAcceptanceThreshold)
        return reply.toText();
    return failureMessage();
}

QString runLookup(const QString &serviceHost, const QString &typedText, const FetchOptions &options)
{
    return textToShow(GetBody(lookupUrl(serviceHost, typedText), u"GB2312"_s, options));
}

}  // namespace zuno
