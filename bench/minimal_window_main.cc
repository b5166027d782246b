// SPDX-License-Identifier: Apache-2.0
#include <QApplication>
#include <QLabel>

// The yardstick for the window's benchmark: a Qt Widgets window holding one label.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("全国电话号码归属地查询"));
    label.show();
    return QApplication::exec();
}
