// SPDX-License-Identifier: Apache-2.0
#include "form1.h"

#include "http_test_server.h"
#include "number/number_lookup.h"
#include "site/lookup/lookup_reply.h"
#include "site/lookup/lookup_routes.h"
#include "site/site.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;
using zuno::test::HttpTestServer;
using zuno::test::Reply;

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Layout
    void shouldPlaceEachControlAtItsTableRectangle_data();
    void shouldPlaceEachControlAtItsTableRectangle();

    // Keyboard
    void shouldStartWithTheFocusInText1AndTabThroughThreeControls();
    void shouldStartNothingAndCloseNothingOnEnterOrEscape();

    // Lookup
    void shouldLookUpWhatWasTypedOnEveryClick_data();
    void shouldLookUpWhatWasTypedOnEveryClick();

    // Home page
    void shouldOpenTheHomePageOnEveryClickAndChangeNoBox();

    // Last: it runs and ends the application's event loop
    void shouldEndTheProgramWhenClosedDuringALookup();

private:
    template<typename T> T *control(const char *name) const
    {
        return form_->findChild<T *>(QString::fromLatin1(name));
    }
    void typeIntoText1(const QString &text);
    void clickCommand1() { QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton); }
    QString resultText() const { return control<QPlainTextEdit>("Text2")->toPlainText(); }

    std::unique_ptr<HttpTestServer> server_;
    QStringList launched_;
    std::unique_ptr<zuno::Form1> form_;
};

void TestForm1::init()
{
    server_ = std::make_unique<HttpTestServer>();
    launched_.clear();
    form_ = std::make_unique<zuno::Form1>(zuno::Form1Settings{
        server_->hostAndPort(), [this](const QString &url) { launched_.append(url); }});
    form_->show();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
}

void TestForm1::cleanup()
{
    form_.reset();
    server_.reset();
}

// Chinese is typed through an input method, as a user's would commit it.
void TestForm1::typeIntoText1(const QString &text)
{
    auto *text1 = control<QLineEdit>("Text1");
    text1->setFocus();
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(text1, &commit);
}

const QString kFailure = u"连接网络失败!"_s;

void TestForm1::shouldPlaceEachControlAtItsTableRectangle_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("table");  // the table's twips divided by 15, rounded

    QTest::newRow("Label1") << u"Label1"_s << QRect(16, 8, 289, 17);
    QTest::newRow("Frame1") << u"Frame1"_s << QRect(15, 24, 289, 161);
    QTest::newRow("Text1 in Frame1") << u"Text1"_s << QRect(15, 24, 179, 25);
    QTest::newRow("Command1 in Frame1") << u"Command1"_s << QRect(208, 24, 65, 25);
    QTest::newRow("Text2 in Frame1") << u"Text2"_s << QRect(15, 64, 257, 81);
    QTest::newRow("Label2") << u"Label2"_s << QRect(15, 188, 201, 11);
}

void TestForm1::shouldPlaceEachControlAtItsTableRectangle()
{
    QFETCH(QString, name);
    QFETCH(QRect, table);

    const QWidget *widget = form_->findChild<QWidget *>(name);
    QVERIFY(widget);
    const QRect placed = widget->geometry();
    QCOMPARE(placed.topLeft(), table.topLeft());
    QCOMPARE(placed.width(), table.width());
    QVERIFY(placed.height() >= table.height());
    QVERIFY(widget->parentWidget()->rect().contains(placed));
    // Room for a line of the font: a control shrunk below its text would cut the caption.
    QVERIFY2(widget->contentsRect().height() >= widget->fontMetrics().height(), "text clipped");
    // In a client area of a fixed size.
    QCOMPARE(form_->size(), QSize(319, 206));
    QCOMPARE(form_->minimumSize(), form_->maximumSize());
}

void TestForm1::shouldStartWithTheFocusInText1AndTabThroughThreeControls()
{
    const QList<QWidget *> cycle = {control<QLineEdit>("Text1"), control<QPushButton>("Command1"),
                                    control<QPlainTextEdit>("Text2")};
    QCOMPARE(QApplication::focusWidget(), cycle[0]);
    for (int step = 1; step <= 6; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), cycle[step % 3]);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), cycle[2]);
    QCOMPARE(resultText(), QString());
}

void TestForm1::shouldStartNothingAndCloseNothingOnEnterOrEscape()
{
    auto *text1 = control<QLineEdit>("Text1");
    QTest::keyClicks(text1, u"13800138000"_s);
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
        QTest::keyClick(text1, key);
    QTest::qWait(50);
    QVERIFY(server_->requests().isEmpty());
    QVERIFY(form_->isVisible());
    QCOMPARE(text1->text(), u"13800138000"_s);
    QCOMPARE(resultText(), QString());
}

void TestForm1::shouldLookUpWhatWasTypedOnEveryClick_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("shown");

    // The service's own reply, in GBK, with a place line as wide as a reply has: 17 Chinese
    // characters.
    const QString fullWidth = u"（０９０８）２３４５６７８"_s;
    const zuno::service::NumberLookup lookup;
    QTest::newRow("Chinese typed, the service's reply")
        << fullWidth
        << QByteArray::fromStdString(
               zuno::service::windowReply(zuno::service::Site(),
                                          fullWidth.toUtf8().toPercentEncoding().toStdString())
                   .body)
        << u"号码：0908 234 5678 固定电话\n归属地：新疆克孜勒苏柯尔克孜自治州\n区号：0908"_s;
    // A labelled number: the label first, its widest (five-digit count), then 号码 and 归属地.
    const std::u16string labelled = u"09082345678";
    const zuno::service::ShownLabel label{
        {zuno::service::Category::Harassment, 12345, *zuno::service::parseDay("2026-12-07"), false},
        {}};
    QTest::newRow("a labelled number's reply")
        << QString::fromStdU16String(labelled)
        << QByteArray::fromStdString(zuno::service::encodeGbk(
               zuno::service::buildReply(lookup.lookup(labelled), labelled, label)))
        << u"【骚扰电话】12345人标记 2026-12-07\n号码：0908 234 5678 固定电话\n"
           u"归属地：新疆克孜勒苏柯尔克孜自治州"_s;
    QTest::newRow("40000 digits, no length limit")
        << QString(40'000, u'8') << QByteArray("long reply") << u"long reply"_s;
    QTest::newRow("empty, nine-character reply")
        << QString() << QByteArray("123456789") << kFailure;
}

void TestForm1::shouldLookUpWhatWasTypedOnEveryClick()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, reply);
    QFETCH(QString, shown);
    server_->setReply(Reply::text(reply));
    // As on a Chinese desktop, whose text font is the CJK font that `make deps` installs.
    auto *text2 = control<QPlainTextEdit>("Text2");
    text2->setFont(QFont(u"Noto Sans CJK SC"_s, 9));
    QCOMPARE(QFontInfo(text2->font()).family(), u"Noto Sans CJK SC"_s);

    typeIntoText1(typed);
    clickCommand1();

    QCOMPARE(server_->requests().size(), 1);
    const QByteArray target = server_->requests().first().target;
    QVERIFY(target.startsWith("/iii.asp?title="));
    QCOMPARE(
        QString::fromUtf8(QByteArray::fromPercentEncoding(target.mid(target.indexOf('=') + 1))),
        typed);
    QCOMPARE(resultText(), shown);
    // Three lines of a reply show whole at 96 dpi, without scrolling.
    QCOMPARE(text2->logicalDpiY(), 96);
    QCoreApplication::processEvents();
    QCOMPARE(text2->verticalScrollBar()->maximum(), 0);
    QCOMPARE(control<QLineEdit>("Text1")->text(), typed);
    QCOMPARE(QApplication::focusWidget(), control<QPushButton>("Command1"));

    // The next click asks again rather than keeping the last answer.
    server_->setReply(Reply::text("too short"));
    clickCommand1();
    QCOMPARE(server_->requests().size(), 2);
    QCOMPARE(resultText(), kFailure);
}

void TestForm1::shouldOpenTheHomePageOnEveryClickAndChangeNoBox()
{
    typeIntoText1(u"13800138000"_s);
    control<QPlainTextEdit>("Text2")->setPlainText(u"earlier result"_s);
    auto *label2 = control<QLabel>("Label2");
    QTest::mouseClick(label2, Qt::LeftButton);
    QTest::mouseClick(label2, Qt::RightButton);
    QTest::mouseClick(label2, Qt::LeftButton);

    const QString home = u"http://"_s + server_->hostAndPort();
    QCOMPARE(launched_, QStringList({home, home}));
    QCOMPARE(control<QLineEdit>("Text1")->text(), u"13800138000"_s);
    QCOMPARE(resultText(), u"earlier result"_s);
    QVERIFY(server_->requests().isEmpty());
}

// The click's lookup is cut short, the wait cursor it put up is gone, the result box keeps what it
// showed, and the program's event loop ends.
void TestForm1::shouldEndTheProgramWhenClosedDuringALookup()
{
    server_->setReply(Reply::neverAnswer());
    control<QPlainTextEdit>("Text2")->setPlainText(u"earlier result"_s);
    std::optional<Qt::CursorShape> cursorDuringLookup;
    QTimer::singleShot(0, form_.get(), [this] { clickCommand1(); });
    QTimer::singleShot(300, form_.get(), [this, &cursorDuringLookup] {
        if (const QCursor *cursor = QGuiApplication::overrideCursor())
            cursorDuringLookup = cursor->shape();
        form_->close();
    });
    QTimer::singleShot(10'000, qApp, [] { QCoreApplication::exit(1); });

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY2(clock.elapsed() < 5'000, "the lookup ran on after the window closed");
    QCOMPARE(server_->requests().size(), 1);
    QCOMPARE(cursorDuringLookup, Qt::WaitCursor);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QCOMPARE(resultText(), u"earlier result"_s);
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
