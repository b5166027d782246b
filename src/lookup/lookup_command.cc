// SPDX-License-Identifier: Apache-2.0
#include "lookup_command.h"

#include "lookup_rule.h"

namespace zuno {

QString lookupUrl(const QString &serviceHost, const QString &typedText)
{
    return QString::fromStdString(lookupUrl(serviceHost.toStdString(), typedText.toStdU16String()));
}

QString runLookup(const QString &serviceHost, const QString &typedText, const FetchOptions &options)
{
    const FetchedValue reply =
        GetBody(lookupUrl(serviceHost, typedText), QString::fromUtf16(kReplyCharset), options);
    return QString::fromStdU16String(textToShow(reply));
}

}  // namespace zuno
