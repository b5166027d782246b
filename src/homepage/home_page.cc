// SPDX-License-Identifier: Apache-2.0
#include "home_page.h"

#include "lookup_rule.h"

#include <QDesktopServices>
#include <QUrl>

namespace zuno {

void openWithDesktop(const QString &url)
{
    // TolerantMode keeps the text as given; a launcher that cannot start is absorbed on purpose.
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

void openHomePage(const QString &serviceHost, const UrlLauncher &launcher)
{
    launcher(QString::fromStdString(homePageUrl(serviceHost.toStdString())));
}

}  // namespace zuno
