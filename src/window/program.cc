#include "program.h"

#include <zuno/version.h>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

#include <string>
#include <utility>

using namespace Qt::StringLiterals;

namespace zuno {

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

    QApplication app(qtArgc, qtArgv);
    QCoreApplication::setApplicationName(u"zuno-lookup"_s);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    QGuiApplication::setDesktopFileName(u"cn.zuno.Lookup"_s);

    Form1 form(std::move(settings));
    form.show();
    return QApplication::exec();
}

}  // namespace zuno
