// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "fetched_value.h"

#include <QEventLoop>
#include <QObject>
#include <QString>

#include <chrono>

namespace zuno {

// Lets a caller abort a GetBody that is waiting for its reply, e.g. when the window closes.
class FetchCancel : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    void cancel();
    bool isCancelled() const { return cancelled_; }

signals:
    void cancelled();

private:
    bool cancelled_ = false;
};

struct FetchOptions {
    // Flags of the local event loop that waits for the reply.
    QEventLoop::ProcessEventsFlags loopFlags = QEventLoop::AllEvents;
    // Whole exchange, connecting included.
    std::chrono::milliseconds timeLimit{30'000};
    int maxRedirects = 10;
    qint64 maxBodyBytes = 8 * 1024 * 1024;
    const FetchCancel *cancel = nullptr;
};

inline constexpr char16_t kDefaultCoding[] = u"GB2312";

// Fetches URL with one HTTP GET carrying "If-Modified-Since: 0" and returns the body converted
// from the charset Coding. Blocks until the exchange has ended. Never fails: when no response
// arrives the result has length 0; when the body arrives but cannot be converted, the result is
// the body's bytes. The status code is not looked at. Needs a QCoreApplication.
FetchedValue GetBody(const QString &URL, const QString &Coding = QString::fromUtf16(kDefaultCoding),
                     const FetchOptions &options = {}) noexcept;

}  // namespace zuno
