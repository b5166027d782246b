#include "bytes_to_bstr.h"

#include <QTest>

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
    QTest::newRow("ascii digits") << u"GB2312"_qs << QByteArray("13800138000") << u"13800138000"_qs;
    QTest::newRow("chinese, two bytes a character")
        << u"GB2312"_qs << QByteArray("\xb1\xb1\xbe\xa9\xca\xd0") << u"北京市"_qs;
    QTest::newRow("mixed lines with CRLF")
        << u"GB2312"_qs << QByteArray("\xb9\xe9\xca\xf4\xb5\xd8\xa3\xba\xb1\xb1\xbe\xa9\r\n")
        << u"归属地：北京\r\n"_qs;
    QTest::newRow("gbk-only character") << u"GB2312"_qs << QByteArray("\xe9\x46") << u"镕"_qs;
    QTest::newRow("euro sign of code page 936") << u"GB2312"_qs << QByteArray("\x80") << u"€"_qs;
    QTest::newRow("four-byte sequence")
        << u"GB2312"_qs << QByteArray("\x81\x30\x81\x30") << u"\u0080"_qs;
    QTest::newRow("no bytes") << u"GB2312"_qs << QByteArray() << QString();
    QTest::newRow("nul bytes are kept")
        << u"GB2312"_qs << QByteArray("a\0b", 3) << QString::fromUtf16(u"a\0b", 3);
    // 镕 is outside GB2312: a strict EUC-CN table would turn it into a control character.
    for (const QString &label :
         {u"gb2312"_qs, u"gbk"_qs, u"chinese"_qs, u"csgb2312"_qs, u"csiso58gb231280"_qs,
          u"gb_2312"_qs, u"GB_2312-80"_qs, u"iso-ir-58"_qs, u"x-gbk"_qs, u" GBK\t"_qs})
        QTest::addRow("label %s", qPrintable(label))
            << label << QByteArray("\xe9\x46\xb1\xb1") << u"镕北"_qs;

    // Malformed input: nothing dropped, nothing turned into a control character
    QTest::newRow("invalid lead byte") << u"GB2312"_qs
                                       << QByteArray("1\xff"
                                                     "2")
                                       << u"1\uFFFD2"_qs;
    QTest::newRow("truncated at the end")
        << u"GB2312"_qs << QByteArray("\xb1\xb1\xbe") << u"北\uFFFD"_qs;
    QTest::newRow("invalid trail byte keeps the trail")
        << u"GB2312"_qs << QByteArray("\x81 1") << u"\uFFFD 1"_qs;
    QTest::newRow("lead byte that starts nothing")
        << u"GB2312"_qs << QByteArray("\xff\xb1\xb1") << u"\uFFFD北"_qs;

    // Other charsets go to ICU
    QTest::newRow("utf-8") << u"UTF-8"_qs << QByteArray("\xe5\x8c\x97\xe4\xba\xac") << u"北京"_qs;
    QTest::newRow("utf-8 malformed") << u"utf-8"_qs << QByteArray("a\xc3") << u"a\uFFFD"_qs;
    QTest::newRow("big5") << u"Big5"_qs << QByteArray("\xa5\x5f\xa8\xca") << u"北京"_qs;
    QTest::newRow("latin-1") << u"ISO-8859-1"_qs << QByteArray("caf\xe9") << u"café"_qs;
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
    QTest::newRow("unknown name") << bytes << u"no-such-charset"_qs;
    QTest::newRow("empty name") << bytes << QString();
    QTest::newRow("blank name") << bytes << u"   "_qs;
    QTest::newRow("non-ascii name") << bytes << u"国标"_qs;
    QTest::newRow("a value holding text") << FetchedValue::fromText(u"北京"_qs) << u"GB2312"_qs;
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
    const QString text = BytesToBstr(FetchedValue::fromBytes(bytes), u"GB2312"_qs).toText();
    QCOMPARE(text.size(), 600'001);
    QVERIFY(text.startsWith(u"北京北京"_qs));
    QVERIFY(text.endsWith(u"北京!"_qs));
    QVERIFY(!text.contains(QChar(0xFFFD)));
}

QTEST_GUILESS_MAIN(TestBytesToBstr)
#include "tst_bytes_to_bstr.moc"
