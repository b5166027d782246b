// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "get_body.h"
#include "home_page.h"

#include <QString>
#include <QWidget>

#include <zuno/service_host.h>

class QCloseEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace zuno {

// What Form1 talks to; the defaults are the program's own. Tests point them elsewhere.
struct Form1Settings {
    QString serviceHost = QString::fromLatin1(kServiceHost);
    UrlLauncher launcher = openWithDesktop;
};

// The program's one window: a number box, the "查询" button, the result box and the link line.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(Form1Settings settings = {}, QWidget *parent = nullptr);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onCommand1Clicked();
    void onLabel2Clicked();

    Form1Settings settings_;
    // The cancel of the lookup under way, if any; closing the window aborts it.
    FetchCancel *runningLookup_ = nullptr;

    QLabel *label1_;
    QGroupBox *frame1_;
    QLineEdit *text1_;
    QPushButton *command1_;
    QPlainTextEdit *text2_;
    QLabel *label2_;
};

}  // namespace zuno
