#include "bytes_to_bstr.h"

#include <QTest>

using namespace Qt::StringLiterals;

using zuno::BytesToBstr;
using zuno::ConversionError;
using zuno::FetchedValue;

Q_DECLARE_METATYPE(zuno::FetchedValue)

class TestBytesToBstr : public QObject
{
    Q_OBJECT

private slots:
    void shouldDecodeBytes_data();
    void shouldDecodeBytes();
    void shouldRefuseWhatItCannotConvert_data();
    void shouldRefuseWhatItCannotConvert();
    void shouldDecodeTheWholeOfALargeBlock();
};

void TestBytesToBstr::shouldDecodeBytes_data()
{
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    // GB2312 and GBK
    QTest::newRow("Chinese, two bytes a character, and CRLF")
        << u"GB2312"_s << QByteArray("\xb9\xe9\xca\xf4\xb5\xd8\xa3\xba\xb1\xb1\xbe\xa9\r\n")
        << u"归属地：北京\r\n"_s;
    QTest::newRow("euro sign of code page 936") << u"GB2312"_s << QByteArray("\x80") << u"€"_s;
    QTest::newRow("four-byte sequence")
        << u"GB2312"_s << QByteArray("\x81\x30\x81\x30") << u"\u0080"_s;
    QTest::newRow("no bytes") << u"GB2312"_s << QByteArray() << QString();
    QTest::newRow("nul bytes are kept")
        << u"GB2312"_s << QByteArray("a\0b", 3) << QString::fromUtf16(u"a\0b", 3);
    // 镕 is outside GB2312: a strict EUC-CN table would turn it into a control character.
    for (const QString &label :
         {u"gb2312"_s, u"gbk"_s, u"chinese"_s, u"csgb2312"_s, u"csiso58gb231280"_s, u"gb_2312"_s,
          u"GB_2312-80"_s, u"iso-ir-58"_s, u"x-gbk"_s, u" GBK\t"_s})
        QTest::addRow("label %s", qPrintable(label))
            << label << QByteArray("\xe9\x46\xb1\xb1") << u"镕北"_s;

    // Malformed input: nothing dropped, nothing turned into a control character
    QTest::newRow("invalid lead byte") << u"GB2312"_s << QByteArray("1\xff") + '2' << u"1\uFFFD2"_s;
    QTest::newRow("truncated at the end")
        << u"GB2312"_s << QByteArray("\xb1\xb1\xbe") << u"北\uFFFD"_s;
    QTest::newRow("invalid trail byte keeps the trail")
        << u"GB2312"_s << QByteArray("\x81 1") << u"\uFFFD 1"_s;
    QTest::newRow("lead byte that starts nothing")
        << u"GB2312"_s << QByteArray("\xff\xb1\xb1") << u"\uFFFD北"_s;

    // Other charsets go to ICU
    QTest::newRow("utf-8") << u"UTF-8"_s << QByteArray("\xe5\x8c\x97\xe4\xba\xac") << u"北京"_s;
    QTest::newRow("utf-8 malformed") << u"utf-8"_s << QByteArray("a\xc3") << u"a\uFFFD"_s;
    QTest::newRow("big5") << u"Big5"_s << QByteArray("\xa5\x5f\xa8\xca") << u"北京"_s;
    QTest::newRow("latin-1") << u"ISO-8859-1"_s << QByteArray("caf\xe9") << u"café"_s;
}

void TestBytesToBstr::shouldDecodeBytes()
{
    QFETCH(QString, charset);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    const FetchedValue text = BytesToBstr(FetchedValue::fromBytes(bytes), charset);
    QVERIFY(text.isText());
    QCOMPARE(text.toText(), expected);
}

void TestBytesToBstr::shouldRefuseWhatItCannotConvert_data()
{
    QTest::addColumn<FetchedValue>("value");
    QTest::addColumn<QString>("label");
    const FetchedValue bytes = FetchedValue::fromBytes(QByteArray("abc"));
    QTest::newRow("unknown name") << bytes << u"no-such-charset"_s;
    QTest::newRow("empty name") << bytes << QString();
    QTest::newRow("blank name") << bytes << u"   "_s;
    QTest::newRow("non-ascii name") << bytes << u"国标"_s;
    QTest::newRow("a value holding text") << FetchedValue::fromText(u"北京"_s) << u"GB2312"_s;
}

void TestBytesToBstr::shouldRefuseWhatItCannotConvert()
{
    QFETCH(FetchedValue, value);
    QFETCH(QString, label);
    QVERIFY_THROWS_EXCEPTION(ConversionError, BytesToBstr(value, label));
}

void TestBytesToBstr::shouldDecodeTheWholeOfALargeBlock()
{
    // Ends in an ASCII byte so that the last character shows the tail was reached.
    QByteArray bytes = QByteArray("\xb1\xb1\xbe\xa9").repeated(300'000) + '!';
    const QString text = BytesToBstr(FetchedValue::fromBytes(bytes), u"GB2312"_s).toText();
    QCOMPARE(text.size(), 600'001);
    QVERIFY(text.startsWith(u"北京北京"_s));
    QVERIFY(text.endsWith(u"北京!"_s));
    QVERIFY(!text.contains(QChar(0xFFFD)));
}

QTEST_GUILESS_MAIN(TestBytesToBstr)
#include "tst_bytes_to_bstr.moc"
