// SPDX-License-Identifier: Apache-2.0
#include "program.h"

#include <zuno/version.h>

#include "display_connection.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

using namespace Qt::StringLiterals;

namespace zuno {
namespace {

// How long the program waits for a display that does not accept connections yet.
constexpr std::chrono::milliseconds kDisplayPatience{3'000};

QtMessageHandler qtMessageHandler = nullptr;

// Installed while QApplication starts: Qt's fatal error there (no window system could be opened,
// e.g. a display gone since it was checked) ends the program with one line and status 1, not an
// abort and a core dump. Every other message goes to Qt's handler.
void exitOnFatalStart(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        qtMessageHandler(type, context, message);
        return;
    }
    std::fputs("zuno-lookup: cannot open a window: no window system could be opened\n", stderr);
    std::_Exit(1);
}

}  // namespace

int runProgram(const char *programName, Form1Settings settings)
{
    // Qt sees only the program's name, so options such as -reverse or -style change nothing.
    std::string name = programName != nullptr ? programName : "zuno-lookup";
    int qtArgc = 1;
    char *qtArgv[] = {name.data(), nullptr};

    // The interface is Simplified Chinese in any locale: have fontconfig pick Simplified
    // Chinese glyphs for Han text rather than the Japanese ones it falls back to otherwise,
    // unless the user chose a language for it.
    if (!qEnvironmentVariableIsSet("FC_LANG"))
        qputenv("FC_LANG", "zh-cn");

    DisplayConnection display(kDisplayPatience);
    if (!display.problem().empty()) {
        std::fprintf(stderr, "zuno-lookup: %s\n", display.problem().c_str());
        return 1;
    }

    qtMessageHandler = qInstallMessageHandler(exitOnFatalStart);
    QApplication app(qtArgc, qtArgv);
    qInstallMessageHandler(qtMessageHandler);
    display.close();  // Qt holds its own connection now
    QCoreApplication::setApplicationName(u"zuno-lookup"_s);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    QGuiApplication::setDesktopFileName(u"cn.zuno.Lookup"_s);

    Form1 form(std::move(settings));
    form.show();
    return QApplication::exec();
}

}  // namespace zuno
