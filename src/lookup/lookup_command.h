#pragma once

#include "common/fetched_value.h"
#include "lookup/get_body.h"

#include <QString>

namespace zuno {

// A reply is shown only when it is longer than this many UTF-16 code units.
inline constexpr qsizetype kAcceptanceThreshold = 9;

// "http://" + serviceHost + "/iii.asp?title=": the typed text follows the equals sign.
QString lookupUrlPrefix(const QString &serviceHost);

// The request URL for typedText. Every UTF-8 byte outside RFC 3986's unreserved characters
// goes out as %XX, so the service sees one parameter `title` holding the text exactly as typed.
QString lookupUrl(const QString &serviceHost, const QString &typedText);

// "连接网络失败!", shown when no usable reply came back.
QString failureMessage();

// What the result box shows for a fetched reply: the reply whole when it is longer than the
// threshold, the failure message otherwise.
QString textToShow(const FetchedValue &reply);

// Runs one lookup of typedText against the service and returns what the result box shows.
// Blocks until the exchange has ended; the options carry the event-loop flags and the cancel.
QString runLookup(const QString &serviceHost, const QString &typedText,
                  const FetchOptions &options = {});

}  // namespace zuno
