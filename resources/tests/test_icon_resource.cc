#include <QIcon>
#include <QImage>
#include <QTest>

// The icons reach a program only through the linked zuno_resources library: nothing here names a
// file.
class TestIconResource : public QObject
{
    Q_OBJECT

private slots:
    void shouldCarryTheIconAtEachSize_data();
    void shouldCarryTheIconAtEachSize();
    void shouldMakeAWindowIconWithBothSizes();
};

void TestIconResource::shouldCarryTheIconAtEachSize_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("side");
    QTest::newRow("window") << QStringLiteral(":/zuno/icon-48.png") << 48;
    QTest::newRow("high density") << QStringLiteral(":/zuno/icon-256.png") << 256;
}

void TestIconResource::shouldCarryTheIconAtEachSize()
{
    QFETCH(QString, path);
    QFETCH(int, side);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(side, side));
    QVERIFY(image.hasAlphaChannel());
    // Transparent corners: the telephone is drawn on nothing, not on a square.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(side - 1, 0)), 0);
}

void TestIconResource::shouldMakeAWindowIconWithBothSizes()
{
    QIcon icon(QStringLiteral(":/zuno/icon-48.png"));
    QVERIFY(!icon.isNull());
    icon.addFile(QStringLiteral(":/zuno/icon-256.png"));
    const QList<QSize> sizes = icon.availableSizes();
    QVERIFY(sizes.contains(QSize(48, 48)));
    QVERIFY(sizes.contains(QSize(256, 256)));
    QCOMPARE(icon.pixmap(QSize(48, 48)).size(), QSize(48, 48));
}

QTEST_MAIN(TestIconResource)
#include "test_icon_resource.moc"
