#include "number_normaliser.h"
#include "number_types.h"
#include "title_decoder.h"

#include <phonenumbers/phonenumberutil.h>

#include <QTest>

#include <random>

using namespace Qt::StringLiterals;
using zuno::service::InputProblem;

Q_DECLARE_METATYPE(InputProblem)

class TestNumberReading : public QObject
{
    Q_OBJECT

private slots:
    void shouldDecodeTitles_data();
    void shouldDecodeTitles();
    void shouldNormaliseAsPeopleTypeNumbers_data();
    void shouldNormaliseAsPeopleTypeNumbers();
    void shouldClassifyNumbersAsPhoneNumberUtilDoes();
};

void TestNumberReading::shouldDecodeTitles_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("text");

    // Escaping
    QTest::newRow("escaped space") << QByteArray("138%20001") << u"138 001"_s;
    QTest::newRow("plus stays a plus") << QByteArray("+86+138") << u"+86+138"_s;
    QTest::newRow("escaped plus") << QByteArray("%2B86") << u"+86"_s;
    QTest::newRow("lower-case hex") << QByteArray("%2b86") << u"+86"_s;
    QTest::newRow("bad escape kept") << QByteArray("%zz1") << u"%zz1"_s;
    QTest::newRow("escape cut short") << QByteArray("12%3") << u"12%3"_s;
    // Charset
    QTest::newRow("escaped UTF-8") << QByteArray("%E5%8C%97%E4%BA%AC") << u"北京"_s;
    QTest::newRow("escaped GBK") << QByteArray("%B1%B1%BE%A9") << u"北京"_s;
    QTest::newRow("raw GBK full-width digits") << QByteArray("\xa3\xb1\xa3\xb0") << u"１０"_s;
    QTest::newRow("GBK cut in the middle") << QByteArray("1\xb1") << u"1\uFFFD"_s;
    // Bytes that start no GBK sequence: U+FFFD, not a private-use character
    QTest::newRow("0xFF") << QByteArray("1\xff"
                                        "2")
                          << u"1\uFFFD2"_s;
    QTest::newRow("0x80") << QByteArray("1\x80"
                                        "2")
                          << u"1\uFFFD2"_s;
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestNumberReading::shouldDecodeTitles()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdU16String(zuno::service::decodeTitle(raw.toStdString())), text);
}

void TestNumberReading::shouldNormaliseAsPeopleTypeNumbers_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<InputProblem>("problem");
    QTest::addColumn<QByteArray>("national");

    const auto row = [](const char *name, const char16_t *title, InputProblem problem,
                        const char *national) {
        QTest::newRow(name) << QString::fromUtf16(title) << problem << QByteArray(national);
    };
    // Separators
    row("tabs and no-break spaces", u"\t138\u00A00013 8000 ", InputProblem::None, "13800138000");
    row("ideographic space and em dash", u"010\u3000—\u300012345678", InputProblem::None,
        "01012345678");
    row("middle dots", u"138·0013·8000", InputProblem::None, "13800138000");
    row("plus between groups as a form sends it", u"138+0013+8000", InputProblem::None,
        "13800138000");
    // Country code
    row("+86 after spaces", u"  +86 13800138000", InputProblem::None, "13800138000");
    row("86 before ten digits is not a country code", u"861380013800", InputProblem::None,
        "861380013800");
    row("86 before twelve digits is not a country code", u"86138001380001", InputProblem::TooLong,
        "");
    row("0086 before a fixed line", u"0086 10 12345678", InputProblem::None, "1012345678");
    row("+86 and nothing else", u"+86", InputProblem::None, "");
    row("+ and another country", u"+44 20 7946 0000", InputProblem::NotChinese, "");
    row("plus inside is a separator", u"86+13800138000", InputProblem::None, "13800138000");
    // Problems, the first that applies
    row("only separators", u" - ( ) . ", InputProblem::Empty, "");
    row("letter beats length", u"12345678901234567890x", InputProblem::Letters, "");
    row("letter beats other characters", u"北京a", InputProblem::Letters, "");
    row("star", u"*100#", InputProblem::OtherCharacters, "");
    row("thirteen national digits", u"0755123456789", InputProblem::TooLong, "");
    row("twelve national digits", u"075512345678", InputProblem::None, "075512345678");
}

void TestNumberReading::shouldNormaliseAsPeopleTypeNumbers()
{
    QFETCH(QString, title);
    QFETCH(InputProblem, problem);
    QFETCH(QByteArray, national);
    const auto normalised = zuno::service::normaliseNumber(title.toStdU16String());
    QCOMPARE(normalised.problem, problem);
    QCOMPARE(QByteArray::fromStdString(normalised.national), national);
}

// NumberTypes replays GetNumberType on precompiled patterns: any difference is a fault.
void TestNumberReading::shouldClassifyNumbersAsPhoneNumberUtilDoes()
{
    using i18n::phonenumbers::PhoneNumberUtil;
    const PhoneNumberUtil &util = *PhoneNumberUtil::GetInstance();
    const zuno::service::NumberTypes types;

    std::vector<std::string> numbers;
    for (int prefix = 130; prefix <= 199; ++prefix)
        for (const char *rest : {"00000000", "12345678", "99999999", "0013800"})
            numbers.push_back(std::to_string(prefix) + rest);
    for (int area = 10; area <= 999; ++area)
        for (const char *rest : {"1234567", "12345678", "88888888", "2345678", "123456"})
            numbers.push_back(std::to_string(area) + rest);
    std::mt19937_64 random(20240601);
    for (int i = 0; i < 5000; ++i) {
        std::string digits(5 + random() % 8, '0');
        for (char &digit : digits)
            digit = static_cast<char>('0' + random() % 10);
        digits.front() = static_cast<char>('1' + random() % 9);
        numbers.push_back(digits);
    }

    int valid = 0;
    for (const std::string &digits : numbers) {
        i18n::phonenumbers::PhoneNumber number;
        number.set_country_code(86);
        number.set_national_number(std::stoull(digits));
        const int expected = util.GetNumberType(number);
        valid += expected != PhoneNumberUtil::UNKNOWN;
        QVERIFY2(types.typeOf(digits) == expected, digits.c_str());
    }
    // The sweep must reach valid numbers of several kinds, not only invalid ones.
    QVERIFY2(valid > 1000, qPrintable(QString::number(valid)));
}

QTEST_GUILESS_MAIN(TestNumberReading)
#include "tst_number_reading.moc"
