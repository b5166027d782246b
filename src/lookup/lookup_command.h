// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "get_body.h"

#include <QString>

namespace zuno {

// The request URL for typedText, as the portable core builds it.
QString lookupUrl(const QString &serviceHost, const QString &typedText);

// Runs one lookup of typedText against the service and returns what the result box shows: the
// reply whole when it is longer than nine UTF-16 code units, "连接网络失败!" otherwise.
// Blocks until the exchange has ended; the options carry the event-loop flags and the cancel.
QString runLookup(const QString &serviceHost, const QString &typedText,
                  const FetchOptions &options = {});

}  // namespace zuno
