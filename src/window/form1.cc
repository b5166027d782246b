// SPDX-License-Identifier: Apache-2.0
#include "form1.h"

#include "form1_layout.h"
#include "lookup_command.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWindow>

#include <limits>
#include <memory>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace zuno {
namespace {

// Qt scales logical pixels to the screen itself, so twips are taken at 96 logical pixels an inch.
constexpr int kLogicalDpi = 96;

QRect fromTwips(const TwipsRect &twips)
{
    const auto pixels = [](int length) { return twipsToPixels(length, kLogicalDpi); };
    return QRect(pixels(twips.left), pixels(twips.top), pixels(twips.width), pixels(twips.height));
}

// The table's rectangle of the control named `name`.
QRect tableRect(std::string_view name) { return fromTwips(form1Control(name)->twips); }

QString tableCaption(std::string_view name)
{
    return QString::fromStdU16String(std::u16string(form1Control(name)->caption));
}

// The height a control needs so that its text is not clipped.
int heightForText(const QWidget *control)
{
    const auto *button = qobject_cast<const QPushButton *>(control);
    if (!button)
        return control->sizeHint().height();
    // A button draws its caption inside the style's frame, not in its whole height.
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect contents =
        button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    const int frame = option.rect.height() - contents.height();
    return button->fontMetrics().size(Qt::TextShowMnemonic, button->text()).height() + frame;
}

// Puts control at rect, made taller downward when its text needs more height than rect has.
// It takes the rect's size first, since a button's frame is measured at its own size.
void placeFittingText(QWidget *control, QRect rect)
{
    control->resize(rect.size());
    rect.setHeight(qMax(rect.height(), heightForText(control)));
    control->setGeometry(rect);
}

// Shows the wait cursor for as long as it lives.
class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// Holds back the user's input to a window while it lives and posts it back, in order, when it
// ends. Qt's own ExcludeUserInputEvents would do the same but, on X11, holds back the window
// manager's close request with it.
class HeldInput : public QObject
{
public:
    explicit HeldInput(QWindow *window) : window_(window)
    {
        if (window_)
            window_->installEventFilter(this);
    }
    ~HeldInput() override
    {
        if (!window_)
            return;
        window_->removeEventFilter(this);
        for (std::unique_ptr<QEvent> &event : held_)
            QCoreApplication::postEvent(window_, event.release());
    }
    HeldInput(const HeldInput &) = delete;
    HeldInput &operator=(const HeldInput &) = delete;

    void discard() { held_.clear(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != window_ || !isUserInput(event->type()))
            return false;
        held_.emplace_back(event->clone());
        return true;
    }

private:
    static bool isUserInput(QEvent::Type type)
    {
        switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Enter:
        case QEvent::Leave:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease: return true;
        default: return false;
        }
    }

    QPointer<QWindow> window_;
    std::vector<std::unique_ptr<QEvent>> held_;
};

}  // namespace

Form1::Form1(Form1Settings settings, QWidget *parent)
    : QWidget(parent),
      settings_(std::move(settings)),
      label1_(new QLabel(tableCaption("Label1"), this)),
      frame1_(new QGroupBox(tableCaption("Frame1"), this)),
      text1_(new QLineEdit(frame1_)),
      command1_(new QPushButton(tableCaption("Command1"), frame1_)),
      text2_(new QPlainTextEdit(frame1_)),
      label2_(new QLabel(tableCaption("Label2"), this))
{
    setWindowTitle(QString::fromStdU16String(std::u16string(kForm1Caption)));
    QIcon icon(u":/zuno/icon-48.png"_s);
    icon.addFile(u":/zuno/icon-256.png"_s);
    setWindowIcon(icon);
    setFixedSize(fromTwips({0, 0, kForm1ClientWidthTwips, kForm1ClientHeightTwips}).size());

    label1_->setObjectName(u"Label1"_s);
    label1_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    placeFittingText(label1_, tableRect("Label1"));

    frame1_->setObjectName(u"Frame1"_s);
    frame1_->setGeometry(tableRect("Frame1"));

    text1_->setObjectName(u"Text1"_s);
    text1_->setAccessibleName(u"电话号码"_s);
    text1_->setMaxLength(std::numeric_limits<int>::max());
    placeFittingText(text1_, tableRect("Text1"));

    command1_->setObjectName(u"Command1"_s);
    placeFittingText(command1_, tableRect("Command1"));

    text2_->setObjectName(u"Text2"_s);
    text2_->setAccessibleName(u"查询结果"_s);
    text2_->setReadOnly(true);
    text2_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text2_->setTabChangesFocus(true);
    text2_->setGeometry(tableRect("Text2"));

    label2_->setObjectName(u"Label2"_s);
    label2_->setAccessibleName(u"打开ZUNO网站主页，下载最新版"_s);
    label2_->installEventFilter(this);
    placeFittingText(label2_, tableRect("Label2"));

    setTabOrder(text1_, command1_);
    setTabOrder(command1_, text2_);
    text1_->setFocus();

    connect(command1_, &QPushButton::clicked, this, &Form1::onCommand1Clicked);
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (runningLookup_)
        runningLookup_->cancel();
    QWidget::closeEvent(event);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == label2_ && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton &&
            label2_->rect().contains(mouse->position().toPoint()))
            onLabel2Clicked();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::onCommand1Clicked()
{
    // The click returns only when the exchange has ended; meanwhile the window keeps painting
    // and answering the window manager, a close request aborts the lookup, and the user's input
    // waits until the lookup is over.
    const WaitCursor waitCursor;
    HeldInput heldInput(windowHandle());
    FetchCancel cancel;
    FetchOptions options;
    options.cancel = &cancel;
    runningLookup_ = &cancel;
    const QString shown = runLookup(settings_.serviceHost, text1_->text(), options);
    runningLookup_ = nullptr;
    if (cancel.isCancelled()) {
        heldInput.discard();  // the window was closed meanwhile and the program is ending
        return;
    }
    text2_->setPlainText(shown);
}

void Form1::onLabel2Clicked() { openHomePage(settings_.serviceHost, settings_.launcher); }

}  // namespace zuno
