// SPDX-License-Identifier: Apache-2.0
#include "gbk_decoding_rows.h"
#include "http/query.h"
#include "number/carrier_blocks.h"
#include "number/number_lookup.h"
#include "number/number_normaliser.h"
#include "number/number_types.h"
#include "number/segment_store.h"
#include "site/community/place_routes.h"
#include "site/lookup/lookup_json.h"
#include "site/lookup/lookup_reply.h"
#include "site/lookup/lookup_routes.h"
#include "site/site.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

#include <nlohmann/json.hpp>
#include <phonenumbers/phonenumberutil.h>

#include <QTemporaryDir>
#include <QTest>

#include <random>
#include <set>

using namespace Qt::StringLiterals;
using namespace zuno::service;
using i18n::phonenumbers::PhoneNumberUtil;

Q_DECLARE_METATYPE(Verdict)

namespace {

const NumberLookup &numbers()
{
    static const NumberLookup instance;
    return instance;
}

// The body the service sends for a raw title value, through the site's own reply.
std::string body(const QByteArray &raw)
{
    static const Site site;
    return windowReply(site, raw.toStdString()).body;
}

QString reply(const QString &typed)
{
    return QString::fromStdU16String(decodeGbk(body(typed.toUtf8().toPercentEncoding())));
}

// Nothing when a body fits the result box, else its text: at most three lines, CRLF between them,
// at most 34 columns each (GBK gives a column one byte, a Chinese character two), and nothing
// that strict GBK decoders reject (code page 936 reads it as U+FFFD, € or private use).
QString boxProblem(const std::string &body)
{
    const QString text = QString::fromStdU16String(decodeGbk(body));
    const QList<QByteArray> lines = QByteArray::fromStdString(body).split('\n');
    bool fits = lines.size() <= 3;
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const bool last = n + 1 == lines.size();
        fits = fits && lines[n].endsWith('\r') != last && lines[n].size() - !last <= 34;
    }
    const bool strict = std::none_of(text.begin(), text.end(), [](QChar c) {
        return c == QChar::ReplacementCharacter || c == u'€' ||
            c.category() == QChar::Other_PrivateUse || (c < u' ' && c != u'\r' && c != u'\n');
    });
    return fits && strict ? QString() : text;
}

// A segment file in dir with the standard first lines, then rows.
std::filesystem::path segmentFile(const QTemporaryDir &dir, const char *name,
                                  const QByteArray &rows, const char *source = "测试号段",
                                  const char *date = "2026-11-30")
{
    const QString path = dir.filePath(QString::fromUtf8(name));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(QByteArray("# source: ") + source + "; date: " + date +
               "\nprefix,province,city,area_code,carrier,virtual\n" + rows);
    return path.toStdString();
}

i18n::phonenumbers::PhoneNumber chinese(const std::string &significant)
{
    i18n::phonenumbers::PhoneNumber number;
    number.set_country_code(86);
    number.set_national_number(std::stoull(significant));
    return number;
}

}  // namespace

class TestNumbers : public QObject
{
    Q_OBJECT

private slots:
    // Reading what was typed
    void shouldDecodeTitles_data();
    void shouldDecodeTitles();
    void shouldDecodeEveryRowOfTheWindowsGbkTable_data() { addGbkDecodingRows(); }
    void shouldDecodeEveryRowOfTheWindowsGbkTable();
    void shouldEncodeEveryRowOfTheWindowsGbkTableBack_data() { addGbkDecodingRows(); }
    void shouldEncodeEveryRowOfTheWindowsGbkTableBack();
    void shouldNormaliseAsPeopleTypeNumbers_data();
    void shouldNormaliseAsPeopleTypeNumbers();
    void shouldClassifyNumbersAsPhoneNumberUtilDoes();

    // The answers
    void shouldAnswerWhatPeopleLookNumbersUpFor_data();
    void shouldAnswerWhatPeopleLookNumbersUpFor();
    void shouldAnswerEveryCarrierBlockWithACarrier();
    void shouldGiveMobileBlocksAnAreaCodeAndFitEveryPlaceInTheBox();
    void shouldOfferTheCommunityABlockTypedAloneWithoutAPlace();
    void shouldAnswerEveryPlaceByItsNameWithACodeThatNamesItBack();
    void shouldCountTheNamesakesThatDoNotFitTheBox();
    void shouldAnswerEveryMobileBlockFromTheTableAsLibphonenumberDoes();
    void shouldWriteRepliesInGbkAsTheirTextEncodes_data();
    void shouldWriteRepliesInGbkAsTheirTextEncodes();
    void shouldWriteEveryBlocksReplyInGbkAsItsTextEncodes();
    void shouldExplainUnusableInputWithinTheBox_data();
    void shouldExplainUnusableInputWithinTheBox();
    void shouldWriteJsonStringsAsNlohmannJsonDoes_data();
    void shouldConvertUtf16AndUtf8AsQtDoes_data();
    void shouldConvertUtf16AndUtf8AsQtDoes();
    void shouldWriteJsonStringsAsNlohmannJsonDoes();

    // The operator's segment files
    void shouldAnswerFromSegmentsBeforeTheBuiltInData_data();
    void shouldAnswerFromSegmentsBeforeTheBuiltInData();
    void shouldRefuseAMalformedSegmentFileWhole_data();
    void shouldRefuseAMalformedSegmentFileWhole();
    void shouldPlaceEveryCarrierBlockWithASegmentFileThatCoversThem();
};

void TestNumbers::shouldDecodeTitles_data()
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
    QTest::newRow("empty") << QByteArray() << QString();
}

// The service reads GBK as the window does, row for row.
void TestNumbers::shouldDecodeEveryRowOfTheWindowsGbkTable()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdU16String(decodeGbk(bytes.toStdString())), expected);
}

// Replies are encoded a unit at a time from a table; a character beyond the BMP is one '?'.
void TestNumbers::shouldEncodeEveryRowOfTheWindowsGbkTableBack()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    if (expected.contains(QChar::ReplacementCharacter))
        QSKIP("no character to encode back");
    QCOMPARE(QByteArray::fromStdString(encodeGbk(expected.toStdU16String())), bytes);
    QCOMPARE(QByteArray::fromStdString(encodeGbk(expected.toStdU16String() + u"\U0001F600" +
                                                 u"\u0E01" + expected.toStdU16String())),
             bytes + "??" + bytes);
}

void TestNumbers::shouldDecodeTitles()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdU16String(decodeTitle(raw.toStdString())), text);
}

void TestNumbers::shouldNormaliseAsPeopleTypeNumbers_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QByteArray>("national");

    const auto row = [](const char *name, const char16_t *title, const char *national,
                        Verdict verdict = Verdict::Found) {
        QTest::newRow(name) << QString::fromUtf16(title) << verdict << QByteArray(national);
    };
    // Separators
    row("tabs and no-break spaces", u"\t138\u00A00013 8000 ", "13800138000");
    row("ideographic space and em dash", u"010\u3000—\u300012345678", "01012345678");
    row("middle dots", u"138·0013·8000", "13800138000");
    row("plus between groups as a form sends it", u"138+0013+8000", "13800138000");
    // Country code
    row("+86 after spaces", u"  +86 13800138000", "13800138000");
    row("86 before ten digits is not a country code", u"861380013800", "861380013800");
    row("86 before twelve digits is not a country code", u"86138001380001", "", Verdict::TooLong);
    row("0086 before a fixed line", u"0086 10 12345678", "1012345678");
    row("+86 and nothing else", u"+86", "");
    row("+ and another country", u"+44 20 7946 0000", "", Verdict::OutsideMainland);
    row("00 and another region", u"00852 2345 6789", "", Verdict::OutsideMainland);
    row("plus inside is a separator", u"86+13800138000", "13800138000");
    // Dialling prefixes before a whole number
    row("IP prefix before a mobile", u"17951 13800138000", "13800138000");
    row("IP prefix before a fixed line", u"12593-010-12345678", "01012345678");
    row("prefix before too few digits stays", u"17951 123456789", "", Verdict::TooLong);
    // Problems, the first that applies
    row("only separators", u" - ( ) . ", "", Verdict::Empty);
    row("letter beats length", u"12345678901234567890x", "", Verdict::Letters);
    row("letter beats other characters", u"北京a", "", Verdict::Letters);
    row("star", u"*100#", "", Verdict::OtherCharacters);
    row("thirteen national digits", u"0755123456789", "", Verdict::TooLong);
    row("twelve national digits", u"075512345678", "075512345678");
}

void TestNumbers::shouldNormaliseAsPeopleTypeNumbers()
{
    QFETCH(QString, title);
    QFETCH(Verdict, verdict);
    QFETCH(QByteArray, national);
    const auto normalised = normaliseNumber(title.toStdU16String());
    QCOMPARE(normalised.verdict, verdict);
    QCOMPARE(QByteArray::fromStdString(normalised.national), national);
}

// NumberTypes replays GetNumberType on precompiled patterns: any difference is a fault.
void TestNumbers::shouldClassifyNumbersAsPhoneNumberUtilDoes()
{
    const PhoneNumberUtil &util = *PhoneNumberUtil::GetInstance();
    const NumberTypes types;

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
        const int expected = util.GetNumberType(chinese(digits));
        valid += expected != PhoneNumberUtil::UNKNOWN;
        QVERIFY2(types.typeOf(digits) == expected, digits.c_str());
    }
    // The sweep must reach valid numbers of several kinds, not only invalid ones.
    QVERIFY2(valid > 1000, qPrintable(QString::number(valid)));

    // The automaton against the patterns themselves, under every four leading digits.
    for (int lead = 1000; lead <= 9999; ++lead)
        for (size_t length = 5; length <= 12; ++length)
            for (int fill = 0; fill < 4; ++fill) {
                std::string digits = std::to_string(lead);
                while (digits.size() < length)
                    digits += static_cast<char>('0' + (random() % 10));
                if (fill < 2)
                    std::fill(digits.begin() + 4, digits.end(), fill == 0 ? '0' : '9');
                QVERIFY2(types.typeOf(digits) == types.typeByPatterns(digits), digits.c_str());
            }
}

void TestNumbers::shouldAnswerWhatPeopleLookNumbersUpFor_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reply");
    const auto row = [](const char *name, const char16_t *typed, const char16_t *reply) {
        QTest::newRow(name) << QString::fromUtf16(typed)
                            << QString::fromUtf16(reply).replace(u'|', u"\r\n"_s);
    };
    // Mobiles of each carrier; 153 is 中国电信 though 15 is 中国移动
    row("中国移动", u"13800138000",
        u"号码：138 0013 8000 手机号码|归属地：北京市|运营商：中国移动 区号：010");
    row("中国电信 153", u"15312345678",
        u"号码：153 1234 5678 手机号码|归属地：江苏省淮安市|运营商：中国电信 区号：0517");
    row("中国广电 192, no place", u"19212345678",
        u"号码：192 1234 5678 手机号码|归属地：暂无数据|运营商：中国广电");
    // Virtual operators' blocks, on their host carrier's network
    row("virtual 1703 中国移动", u"17031234567",
        u"号码：170 3123 4567 手机号码|归属地：暂无数据|运营商：中国移动（虚拟运营商）");
    row("virtual 1704 中国联通", u"17041234567",
        u"号码：170 4123 4567 手机号码|归属地：暂无数据|运营商：中国联通（虚拟运营商）");
    row("virtual 171 中国联通", u"17112345678",
        u"号码：171 1234 5678 手机号码|归属地：暂无数据|运营商：中国联通（虚拟运营商）");
    row("virtual 167 中国联通", u"16712345678",
        u"号码：167 1234 5678 手机号码|归属地：暂无数据|运营商：中国联通（虚拟运营商）");
    row("virtual 165, host not in the table", u"16512345678",
        u"号码：165 1234 5678 手机号码|归属地：暂无数据|运营商：虚拟运营商");
    row("166 is no virtual block", u"16612345678",
        u"号码：166 1234 5678 手机号码|归属地：暂无数据|运营商：中国联通");
    row("second city of its area code", u"13909100000",
        u"号码：139 0910 0000 手机号码|归属地：陕西省咸阳市|运营商：中国移动 区号：029");
    row("city in a shared code and alone for its old one", u"13312345678",
        u"号码：133 1234 5678 手机号码|归属地：贵州省遵义市|运营商：中国电信 区号：0851");
    row("city named for two codes gets none", u"13899712345",
        u"号码：138 9971 2345 手机号码|归属地：新疆伊犁哈萨克自治州|运营商：中国移动");
    // Fixed lines
    row("two-digit code of two cities", u"02912345678",
        u"号码：029 1234 5678 固定电话|归属地：陕西省西安市、咸阳市|区号：029");
    row("code that takes subscribers from 8 only", u"080782345678",
        u"号码：0807 8234 5678 固定电话|归属地：西藏索县|区号：0807");
    row("three-digit area code", u"0755 1234 5678",
        u"号码：0755 1234 5678 固定电话|归属地：广东省深圳市|区号：0755");
    row("list cut to fit", u"0433-2345678",
        u"号码：0433 234 5678 固定电话|归属地：吉林省延边朝鲜族自治州等|区号：0433");
    row("name without its province to fit", u"0859-2345678",
        u"号码：0859 234 5678 固定电话|归属地：黔西南布依族苗族自治州|区号：0859");
    // Short numbers, named and not: the owners table's ends, a number between its rows, rows
    // that share their first digits, and the longest owner
    row("emergency", u"110", u"号码：110 紧急号码|归属地：全国统一|用途：报警");
    row("the table's first row", u"10000",
        u"号码：10000 服务号码|归属地：全国统一|用途：中国电信客服");
    row("valid but between two rows", u"10050", u"号码：10050 服务号码|归属地：全国统一");
    row("the table's last row", u"96110",
        u"号码：96110 服务号码|归属地：全国统一|用途：反诈预警劝阻专线");
    row("950 line", u"95017", u"号码：95017 服务号码|归属地：全国统一|用途：腾讯客服（微信支付）");
    row("six-digit 950 line", u"950618", u"号码：950618 服务号码|归属地：全国统一|用途：京东客服");
    row("call prefix alone, the longest owner", u"17951",
        u"号码：17951 服务号码|归属地：全国统一|用途：中国移动IP长途拨号前缀");
    // SMS ports: 106 and 5 to 17 digits, never Beijing's fixed lines
    row("SMS port, ten digits", u"1069012345", u"号码：1069012345 短信服务号码|归属地：全国统一");
    row("SMS port, shortest", u"10612345", u"号码：10612345 短信服务号码|归属地：全国统一");
    row("SMS port, longest", u"10690123456789012345",
        u"号码：10690123456789012345|归属地：全国统一|类型：短信服务号码");
    // Other regions by their names in mainland usage, with their kind where it is known
    row("中国香港 fixed line", u"+85223456789",
        u"号码：+852 2345 6789 固定电话|归属地：中国香港|本服务查询中国大陆号码的归属地");
    row("中国香港 mobile after 00", u"00852 9123 4567",
        u"号码：+852 9123 4567 手机号码|归属地：中国香港|本服务查询中国大陆号码的归属地");
    row("中国澳门", u"+853 2821 2345",
        u"号码：+853 2821 2345 固定电话|归属地：中国澳门|本服务查询中国大陆号码的归属地");
    row("中国台湾 mobile", u"+886912345678",
        u"号码：+886 912 345 678 手机号码|归属地：中国台湾|本服务查询中国大陆号码的归属地");
    row("中国台湾, kind unknown", u"+886212345678",
        u"号码：+886 2 1234 5678|归属地：中国台湾|本服务查询中国大陆号码的归属地");
    row("another country", u"+44 20 7946 0000",
        u"号码：+44 20 7946 0000 固定电话|归属地：英国|本服务查询中国大陆号码的归属地");
    row("a country sharing its code", u"+1 202-555-0123",
        u"号码：+1 202-555-0123|归属地：美国 固定电话或手机号码|本服务查询中国大陆号码的归属地");
    // Nationwide numbers
    row("400", u"400-812-3123", u"号码：400 812 3123 企业热线|归属地：全国统一");
    row("800", u"8008100000", u"号码：800 810 0000 免费电话|归属地：全国统一");
    // Service numbers stay whole numbers, never blocks or area codes
    row("12345 is no block", u"12345",
        u"号码：12345 服务号码|归属地：全国统一|用途：政务服务便民热线");
    row("95588 is no area code", u"95588",
        u"号码：95588 服务号码|归属地：全国统一|用途：中国工商银行");
    // Blocks: seven digits answer as a whole number of the block does, three or four its carrier
    row("block with a place", u"1380013",
        u"号段：138 0013|归属地：北京市|运营商：中国移动 区号：010");
    row("block typed with a space", u"138 0013",
        u"号段：138 0013|归属地：北京市|运营商：中国移动 区号：010");
    row("block without a place", u"1921234", u"号段：192 1234|归属地：暂无数据|运营商：中国广电");
    row("virtual operator's block", u"1703123",
        u"号段：170 3123|归属地：暂无数据|运营商：中国移动（虚拟运营商）");
    row("three digits", u"199", u"号段：199|运营商：中国电信");
    row("four digits under a three-digit block", u"1990", u"号段：1990|运营商：中国电信");
    row("four digits of a longer block", u"1530", u"号段：1530|运营商：中国电信");
    row("virtual block of several hosts", u"170", u"号段：170|运营商：虚拟运营商");
    row("virtual block of one host", u"171", u"号段：171|运营商：中国联通（虚拟运营商）");
    // Area codes alone, with or without the trunk 0
    row("two-digit area code", u"028", u"区号：028|归属地：四川省成都市、资阳市、|眉山市");
    row("area code of several cities", u"0851",
        u"区号：0851|归属地：贵州省贵阳市、遵义市、|安顺市");
    row("area code without its 0", u"851", u"区号：0851|归属地：贵州省贵阳市、遵义市、|安顺市");
    row("area code with a space", u"0 755", u"区号：0755|归属地：广东省深圳市");
    row("Beijing", u"010", u"区号：010|归属地：北京市");
    row("more places than two lines hold", u"0896",
        u"区号：0896|归属地：西藏那曲地区、嘉黎县、|聂荣县、申扎县、双湖、班戈县等");
    // Extensions after a whole fixed line
    row("extension after a hyphen", u"010-12345678-123",
        u"号码：010 1234 5678 分机 123|归属地：北京市|区号：010");
    row("extension after 转", u"010-12345678转123",
        u"号码：010 1234 5678 分机 123|归属地：北京市|区号：010");
    row("extension after ext", u"010 12345678 ext 123",
        u"号码：010 1234 5678 分机 123|归属地：北京市|区号：010");
    row("extension after x", u"0755-12345678x8",
        u"号码：0755 1234 5678 分机 8|归属地：广东省深圳市|区号：0755");
    row("extension after #, six digits", u"02912345678#123456",
        u"号码：029 1234 5678 分机 123456|归属地：陕西省西安市、咸阳市|区号：029");
    // Place names, with or without 市 and the province, in Traditional characters too
    row("city", u"成都", u"地名：四川省成都市|区号：028");
    row("city with 市", u"成都市", u"地名：四川省成都市|区号：028");
    row("city with its province", u"四川成都", u"地名：四川省成都市|区号：028");
    row("city with its province in full", u"四川省成都市", u"地名：四川省成都市|区号：028");
    row("city that joined a shared code", u"遵义", u"地名：贵州省遵义市|区号：0851");
    row("city named for two codes", u"资阳", u"地名：四川省资阳市|区号：028、0832");
    row("long name for two codes, without its province", u"海西蒙古族藏族自治州",
        u"地名：青海省海西蒙古族藏族自治州|区号：0977、0979");
    row("Traditional characters", u"廣州", u"地名：广东省广州市|区号：020");
    row("香港", u"香港", u"地名：中国香港|国际区号：+852");
    row("澳門 in Traditional characters", u"澳門", u"地名：中国澳门|国际区号：+853");
    row("中国台湾", u"中国台湾", u"地名：中国台湾|国际区号：+886");
}

void TestNumbers::shouldAnswerWhatPeopleLookNumbersUpFor()
{
    QFETCH(QString, typed);
    QFETCH(QString, reply);
    QCOMPARE(::reply(typed), reply);
    QCOMPARE(boxProblem(encodeGbk(reply.toStdU16String())), QString());
}

// Every block of the carrier table that libphonenumber takes numbers from answers with its
// carrier, or with a longer block's (153 is 中国电信 though 15 is 中国移动).
void TestNumbers::shouldAnswerEveryCarrierBlockWithACarrier()
{
    int answered = 0;
    for (const CarrierBlock &block : carrierBlocks()) {
        std::string number(block.prefix);
        number.resize(11, '5');
        const LookupOutcome outcome =
            numbers().lookup(std::u16string(number.begin(), number.end()));
        QVERIFY2(!outcome.valid() ||
                     (!outcome.carrier.empty() && outcome.carrier == carrierOf(number)),
                 number.c_str());
        answered += outcome.valid();
    }
    QVERIFY2(answered >= 55, qPrintable(QString::number(answered)));
    QVERIFY(carrierOf("1200000000").empty());
}

// Every 10,000-number block of mobiles: most with a place get its area code, and every reply,
// the longest place names included, fits the result box.
void TestNumbers::shouldGiveMobileBlocksAnAreaCodeAndFitEveryPlaceInTheBox()
{
    int placed = 0;
    int withCode = 0;
    std::set<std::u16string> checked;  // places whose reply was checked
    for (int block = 1300000; block <= 1999999; ++block) {
        const std::string digits = std::to_string(block) + "5555";
        const std::u16string title(digits.begin(), digits.end());
        const LookupOutcome outcome = numbers().lookup(title);
        if (outcome.place.empty())
            continue;
        ++placed;
        withCode += !outcome.areaCode.empty();
        if (!checked.contains(outcome.place)) {
            checked.insert(outcome.place);
            const QString problem = boxProblem(encodeGbk(buildReply(outcome, title)));
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
    }
    QVERIFY2(placed > 100'000, qPrintable(QString::number(placed)));
    QVERIFY2(withCode >= placed * 0.99, qPrintable(u"%1 of %2"_s.arg(withCode).arg(placed)));

    // Fixed lines of every code, with the longest subscriber numbers.
    for (int code = 10; code <= 999; ++code) {
        const QString problem = boxProblem(body('0' + QByteArray::number(code) + "23456789"));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
}

void TestNumbers::shouldOfferTheCommunityABlockTypedAloneWithoutAPlace()
{
    const std::string form = placeFormHtml(numbers().lookup(u"1921234"));
    QVERIFY2(form.find("value=\"+8619212340000\"") != std::string::npos, form.c_str());
    QVERIFY(placeFormHtml(numbers().lookup(u"1380013")).empty());
}

// Each place of the area-code table, typed, answers its code, and that code typed lists the place;
// the places the geocoder names for each code, typed as it lists them, mostly answer the code.
void TestNumbers::shouldAnswerEveryPlaceByItsNameWithACodeThatNamesItBack()
{
    const auto has = [](const LookupOutcome &outcome, const std::u16string &place,
                        const std::u16string &code) {
        return std::any_of(outcome.places.begin(), outcome.places.end(), [&](const auto &each) {
            return (place.empty() || each.place == place) && each.code == code;
        });
    };
    const AreaCodes &table = numbers().areaCodes();
    for (const auto &[place, code] : table.entries()) {
        const LookupOutcome named = numbers().lookup(place);
        QVERIFY2(named.form == QueryForm::PlaceName && has(named, place, code),
                 qPrintable(QString::fromStdU16String(place)));
        QVERIFY2(has(numbers().lookup(code), place, code),
                 qPrintable(QString::fromStdU16String(place + u' ' + code)));
        QCOMPARE(boxProblem(encodeGbk(buildReply(named, place))), QString());
        QCOMPARE(boxProblem(encodeGbk(buildReply(numbers().lookup(code), code))), QString());
    }
    int listed = 0;
    int found = 0;
    for (int code = 10; code <= 999; ++code) {
        const std::u16string description = std::u16string(table.placeOfCode(std::to_string(code)));
        for (size_t at = 0; at < description.size();) {
            const size_t end = std::min(description.find(u'、', at), description.size());
            const LookupOutcome outcome = numbers().lookup(description.substr(at, end - at));
            ++listed;
            found += has(outcome, {}, u"0" + QString::number(code).toStdU16String());
            at = end + 1;
        }
    }
    qInfo("all %zu places of the table and %d of the %d places the geocoder names for an area code "
          "answer it by name",
          table.entries().size(), found, listed);
    QVERIFY2(found >= listed * 0.98, qPrintable(u"%1 of %2"_s.arg(found).arg(listed)));
}

// No two places of today's data share a name; when some do, more than three of them still fit.
void TestNumbers::shouldCountTheNamesakesThatDoNotFitTheBox()
{
    LookupOutcome namesakes = numbers().lookup(u"资阳");
    while (namesakes.places.size() < 5)
        namesakes.places.push_back({u"新疆维吾尔自治区伊犁哈萨克自治州伊宁市", u"0999"});
    const std::u16string reply = buildReply(namesakes, u"资阳");
    QCOMPARE(boxProblem(encodeGbk(reply)), QString());
    QVERIFY2(reply.starts_with(u"区号：028 四川省资阳市\r\n区号：0832 四川省资阳市\r\n共 5 处"),
             qPrintable(QString::fromStdU16String(reply)));
}

// The compiled table against libphonenumber it was made from, a number of every block, each with
// other last digits than the generator checked: a difference names the first few numbers.
void TestNumbers::shouldAnswerEveryMobileBlockFromTheTableAsLibphonenumberDoes()
{
    const NumberLookup oracle(nullptr, nullptr);
    QStringList differences;
    for (int block = 1300000; block <= 1999999; ++block) {
        const std::string digits = std::to_string(block) + std::to_string(1000 + block % 9000);
        const std::u16string title(digits.begin(), digits.end());
        if (numbers().lookup(title) != oracle.lookup(title) && differences.size() < 5)
            differences << QString::fromStdString(digits);
    }
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(u' ')));
}

void TestNumbers::shouldWriteRepliesInGbkAsTheirTextEncodes_data()
{
    // A number looked up, then the parts given ("=" keeps the looked-up one).
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("place");
    QTest::addColumn<QString>("carrier");
    QTest::addColumn<QString>("areaCode");
    QTest::addColumn<bool>("virtualOperator");
    QTest::newRow("mobile") << u"13800138000"_s << u"="_s << u"="_s << u"="_s << false;
    QTest::newRow("fixed line") << u"01012345678"_s << u"="_s << u"="_s << u"="_s << false;
    QTest::newRow("no place") << u"13800138000"_s << u""_s << u"="_s << u"="_s << false;
    QTest::newRow("neither carrier nor code")
        << u"13800138000"_s << u"="_s << u""_s << u""_s << false;
    QTest::newRow("place at the edge")
        << u"13800138000"_s << u"黑龙江省大兴安岭地区加格达"_s << u"="_s << u"="_s << false;
    QTest::newRow("place one over")
        << u"13800138000"_s << u"黑龙江省大兴安岭地区加格达奇"_s << u"="_s << u"="_s << false;
    QTest::newRow("details at the edge")
        << u"13800138000"_s << u"="_s << u"中国移动ABCDEFGH"_s << u"010"_s << false;
    QTest::newRow("details one over")
        << u"13800138000"_s << u"="_s << u"中国移动ABCDEFGHI"_s << u"010"_s << false;
    QTest::newRow("pair in place")
        << u"13800138000"_s << u"北京\U0001F600"_s << u"="_s << u"="_s << false;
    QTest::newRow("lone surrogate at the end")
        << u"13800138000"_s << u"="_s << u"="_s << QString(QChar(0xD83D)) << false;
    QTest::newRow("not in GBK") << u"13800138000"_s << u"北京\u0E01"_s << u"="_s << u"="_s << false;
    QTest::newRow("virtual operator") << u"17000000000"_s << u"="_s << u"="_s << u"="_s << true;
    QTest::newRow("owner") << u"10086"_s << u"="_s << u"="_s << u"="_s << false;
}

// Most replies are written in GBK from their parts; encoding buildReply's text is the reference.
void TestNumbers::shouldWriteRepliesInGbkAsTheirTextEncodes()
{
    QFETCH(QString, typed);
    QFETCH(QString, place);
    QFETCH(QString, carrier);
    QFETCH(QString, areaCode);
    QFETCH(bool, virtualOperator);
    const std::u16string title = typed.toStdU16String();
    LookupOutcome outcome = numbers().lookup(title);
    QVERIFY(outcome.valid());
    const auto given = [](const QString &part, std::u16string &into) {
        if (part != u"=")
            into = part.toStdU16String();
    };
    given(place, outcome.place);
    given(carrier, outcome.carrier);
    given(areaCode, outcome.areaCode);
    outcome.virtualOperator = virtualOperator;
    if (outcome.place.empty())
        outcome.placeSource = PlaceSource::None;
    QCOMPARE(QByteArray::fromStdString(buildReplyGbk(outcome, title)),
             QByteArray::fromStdString(encodeGbk(buildReply(outcome, title))));
}

void TestNumbers::shouldWriteEveryBlocksReplyInGbkAsItsTextEncodes()
{
    QStringList differences;
    const auto compare = [&differences](const std::string &digits) {
        const std::u16string title(digits.begin(), digits.end());
        const LookupOutcome outcome = numbers().lookup(title);
        if (buildReplyGbk(outcome, title) != encodeGbk(buildReply(outcome, title)) &&
            differences.size() < 5)
            differences << QString::fromStdString(digits);
    };
    for (int block = 1300000; block <= 1999999; ++block)
        compare(std::to_string(block) + "5555");
    for (int code = 10; code <= 999; ++code)
        compare('0' + std::to_string(code) + "23456789");
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(u' ')));
}

void TestNumbers::shouldConvertUtf16AndUtf8AsQtDoes_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("ASCII with NUL") << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("two-byte edges") << QString::fromUtf16(u"\u0080\u07FF");
    QTest::newRow("three-byte edges") << QString::fromUtf16(u"\u0800\uD7FF\uE000\uFFFF");
    QTest::newRow("Chinese") << u"北京市"_s;
    QTest::newRow("a pair") << u"号\U0001F600码"_s;
}

// UTF-16 units outside the surrogates are converted by hand; Qt's codec is the reference.
void TestNumbers::shouldConvertUtf16AndUtf8AsQtDoes()
{
    QFETCH(QString, text);
    const std::string utf8 = toUtf8(text.toStdU16String());
    QCOMPARE(QByteArray::fromStdString(utf8), text.toUtf8());
    QCOMPARE(QString::fromStdU16String(fromUtf8(utf8)), text);
}

void TestNumbers::shouldWriteJsonStringsAsNlohmannJsonDoes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("ASCII") << QByteArray("13800138000");
    QTest::newRow("Chinese and an emoji") << QByteArray("北京市 \xF0\x9F\x98\x80");
    QTest::newRow("quote, backslash, slash, DEL") << QByteArray("\"a\\b/c\x7F");
    QTest::newRow("named controls") << QByteArray("\b\f\n\r\t");
    QTest::newRow("other controls") << QByteArray("\x01\x1F\x00"
                                                  "x",
                                                  4);
    QTest::newRow("lone continuation") << QByteArray("a\x80"
                                                     "b");
    QTest::newRow("overlong") << QByteArray("\xC0\x80\xE0\x80\x80");
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80");
    QTest::newRow("cut short") << QByteArray("\xE4\xB8");
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80\xF5");
}

// The API's strings are escaped by hand; nlohmann::json, which writes the rest, is the reference.
void TestNumbers::shouldWriteJsonStringsAsNlohmannJsonDoes()
{
    QFETCH(QByteArray, text);
    LookupFields fields;
    fields[0] = {"input", text.toStdString(), std::nullopt};
    const std::string expected =
        nlohmann::json(text.toStdString())
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::string written = lookupJson(fields);
    QCOMPARE(QByteArray::fromStdString(written.substr(0, written.find(",\"\":null"))),
             QByteArray::fromStdString("{\"input\":" + expected));
}

void TestNumbers::shouldExplainUnusableInputWithinTheBox_data()
{
    QTest::addColumn<QByteArray>("raw");  // the title's value as it arrives
    QTest::addColumn<QString>("begins");  // the reply's first characters
    const auto row = [](const char *name, const QString &typed, const char16_t *begins) {
        QTest::newRow(name) << typed.toUtf8().toPercentEncoding() << QString::fromUtf16(begins);
    };
    row("empty", QString(), u"请输入");
    row("letters, blanks trimmed", u" \u3000abc\t"_s, u"“abc”中含有字母");
    row("too short", u"123"_s, u"“123”位数不够");
    row("106 and four digits is no SMS port", u"1061234"_s, u"“1061234”位数不够");
    row("106 and eighteen digits is no SMS port", u"106"_s + u"1"_s.repeated(18), u"“1061111");
    row("too long", u"0755123456789"_s, u"“0755123456789”位数太多");
    row("unknown country code", u"+999 1234 5678"_s, u"“+999 1234 5678”无法识别");
    row("a region's code alone", u"+852"_s, u"“+852”无法识别，请检查国家或地区");
    row("invalid", u"12345678901"_s, u"“12345678901”不是有效");
    row("long Chinese", u"北京"_s.repeated(30), u"“北京北京");
    row("long digits", u"1"_s.repeated(40), u"“1111111111");
    // Close to a block, an area code, an extension or a place name, and still refused
    row("two digits", u"13"_s, u"“13”位数不够");
    row("no mobile block", u"1234"_s, u"“1234”位数不够");
    row("seven digits of no mobile block", u"1012345"_s, u"“1012345”位数不够");
    row("no such area code", u"0850"_s, u"“0850”位数不够");
    row("an extension of seven digits", u"010-12345678-1234567"_s,
        u"“010-12345678-1234567”位数太多");
    row("an extension after a mobile", u"13800138000转123"_s, u"“13800138000转123”中含有无法识别");
    row("an extension after too few digits", u"010-1234转123"_s, u"“010-1234转123”中含有无法识别");
    row("a name and more", u"成都区号是多少"_s, u"“成都区号是多少”中含有无法识别");
    row("a province alone", u"湖北省"_s, u"“湖北省”中含有无法识别");
    // Characters that strict GBK decoders reject are not echoed.
    QTest::newRow("raw bytes 0x80 and 0xFF") << QByteArray("%80%FF1") << u"“??1”"_s;
    QTest::newRow("raw GBK user-defined area") << QByteArray("%AA%A1%FE%FE1") << u"“??1”"_s;
    row("emoji", u"😀1"_s, u"“?1”");
    row("control characters", u"a\r\nb\x7f"_s, u"“a??b?”");
}

void TestNumbers::shouldExplainUnusableInputWithinTheBox()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, begins);
    const std::string bytes = body(raw);
    const QString text = QString::fromStdU16String(decodeGbk(bytes));
    QVERIFY2(text.startsWith(begins), qPrintable(text));
    // The window shows only replies of more than nine characters.
    QVERIFY2(text.size() > 9 && !text.contains(u"归属地"_s), qPrintable(text));
    QCOMPARE(boxProblem(bytes), QString());
}

void TestNumbers::shouldAnswerFromSegmentsBeforeTheBuiltInData_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("source");  // of the place: "builtin", "segments", or a file's date
    const auto row = [](const char *name, const char16_t *typed, const char16_t *reply,
                        const char16_t *source) {
        QTest::newRow(name) << QString::fromUtf16(typed)
                            << QString::fromUtf16(reply).replace(u'|', u"\r\n"_s)
                            << QString::fromUtf16(source);
    };
    row("a block the built-in data has no place for", u"19212345678",
        u"号码：192 1234 5678 手机号码|归属地：广东省深圳市|运营商：中国广电 区号：0755",
        u"2026-11-30");
    row("a shorter prefix where no longer one is", u"19212359999",
        u"号码：192 1235 9999 手机号码|归属地：北京市|运营商：中国广电 区号：010", u"2026-11-30");
    row("over the built-in place, a later file over an earlier", u"13800138000",
        u"号码：138 0013 8000 手机号码|归属地：上海市|运营商：中国移动 区号：021", u"2026-12-01");
    row("area code derived, virtual operator from the file", u"16512345678",
        u"号码：165 1234 5678 手机号码|归属地：贵州省遵义市|中国移动（虚拟运营商） 区号：0851",
        u"2026-11-30");
    row("autonomous region as the built-in data spells it", u"19112345678",
        u"号码：191 1234 5678 手机号码|归属地：新疆乌鲁木齐市|运营商：中国电信 区号：0991",
        u"2026-11-30");
    row("empty fields keep the built-in answer", u"13912345678",
        u"号码：139 1234 5678 手机号码|归属地：江苏省常州市|运营商：中国移动 区号：0519",
        u"builtin");
    row("no row", u"15312345678",
        u"号码：153 1234 5678 手机号码|归属地：江苏省淮安市|运营商：中国电信 区号：0517",
        u"builtin");
}

void TestNumbers::shouldAnswerFromSegmentsBeforeTheBuiltInData()
{
    QFETCH(QString, typed);
    QFETCH(QString, reply);
    QFETCH(QString, source);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto first = segmentFile(dir, "first.csv",
                                   "1921234,广东省,深圳市,0755,,\n"
                                   "192123,北京市,北京市,,,\n"
                                   "1381234,,,,,\n"
                                   "1380013,广东省,广州市,020,,\n"
                                   "165123,贵州省,遵义市,,中国移动,1\n"
                                   "1911234,新疆维吾尔自治区,乌鲁木齐市,,,\n"
                                   "1391234,,,,,\n");
    const auto second =
        segmentFile(dir, "second.csv", "1380013,上海市,,,,0\n", "更新", "2026-12-01");
    SegmentStore store;
    store.replace(SegmentTable::load({first, second}));
    const NumberLookup lookup(&store);
    const std::u16string title = typed.toStdU16String();
    const LookupOutcome outcome = lookup.lookup(title);
    QCOMPARE(QString::fromStdU16String(buildReply(outcome, title)), reply);
    QCOMPARE(boxProblem(encodeGbk(reply.toStdU16String())), QString());
    if (source == u"builtin"_s)
        QCOMPARE(outcome.placeSource, PlaceSource::Builtin);
    else
        QCOMPARE(QString::fromStdString(outcome.sourceDate), source);
}

void TestNumbers::shouldRefuseAMalformedSegmentFileWhole_data()
{
    QTest::addColumn<QByteArray>("rows");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QString>("why");  // what the refusal ends with, after the file's name
    const auto row = [](const char *name, const QByteArray &rows, const char *why,
                        const char *date = "2026-11-30") {
        QTest::newRow(name) << rows << QByteArray(date) << QString::fromUtf8(why);
    };
    const QByteArray good = "1921234,广东省,深圳市,0755,中国广电,0\n";
    row("prefix too short", good + "19,广东省,,,,\n", ":4: bad prefix \"19\"");
    row("prefix too long", good + "19212345,广东省,,,,\n", ":4: bad prefix \"19212345\"");
    row("prefix not of a mobile", good + "0755123,广东省,,,,\n", ":4: bad prefix \"0755123\"");
    row("prefix empty", good + ",广东省,,,,\n", ":4: bad prefix \"\"");
    row("duplicate prefix", good + "1921235,,,,,\n" + good,
        ":5: duplicate prefix 1921234, first on line 3");
    row("unknown province", good + "1921235,广东,深圳市,,,\n", ":4: unknown province \"广东\"");
    row("not UTF-8", good + "1921235,\xB9\xE3\xB6\xAB\xCA\xA1,,,,\n", ":4: not UTF-8");
    row("truncated last line", good + "1921235,广东省,深",
        ":4: truncated or wrong number of fields: 3 instead of 6");
    row("a field too many", good + "1921235,,,,,0,x\n",
        ":4: truncated or wrong number of fields: 7 instead of 6");
    row("bad virtual", good + "1921235,,,,,2\n", ":4: bad virtual \"2\": 0, 1 or empty");
    row("bad area code", good + "1921235,,,755,,\n", ":4: bad area code \"755\"");
    row("bad date", good, ":1: bad date \"2026-02-30\": write YYYY-MM-DD", "2026-02-30");
}

void TestNumbers::shouldRefuseAMalformedSegmentFileWhole()
{
    QFETCH(QByteArray, rows);
    QFETCH(QByteArray, date);
    QFETCH(QString, why);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto good = segmentFile(dir, "good.csv", "1921234,广东省,深圳市,0755,中国广电,0\n");
    const auto bad = segmentFile(dir, "bad.csv", rows, "测试号段", date.constData());
    try {
        SegmentTable::load({good, bad});
        QFAIL("loaded");
    } catch (const SegmentFileError &error) {
        const QString said = QString::fromUtf8(error.what());
        QVERIFY2(said.startsWith(QString::fromStdString(bad.string()) + why), qPrintable(said));
    }
}

// Random numbers of every block the carrier table assigns: the share the built-in data places,
// and all of them once a segment file covers the blocks.
void TestNumbers::shouldPlaceEveryCarrierBlockWithASegmentFileThatCoversThem()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray rows;
    std::set<std::string> prefixes;
    for (const CarrierBlock &block : carrierBlocks())
        prefixes.insert(std::string(block.prefix));
    for (const std::string &prefix : prefixes) {
        // Segment prefixes have 3 digits at least: 15 becomes those of 150 to 159 that are not
        // blocks of their own.
        for (char digit = '0'; digit <= '9'; ++digit) {
            const std::string longer = prefix.size() < 3 ? prefix + digit : prefix;
            if (longer == prefix || !prefixes.contains(longer))
                rows += QByteArray::fromStdString(longer) + ",湖北省,武汉市,,,\n";
            if (longer == prefix)
                break;
        }
    }
    SegmentStore store;
    store.replace(SegmentTable::load({segmentFile(dir, "cover.csv", rows)}));
    const NumberLookup covered(&store);

    std::mt19937_64 random(20261207);
    int valid = 0, builtIn = 0, withSegments = 0;
    for (const CarrierBlock &block : carrierBlocks())
        for (int i = 0; i < 200; ++i) {
            std::string digits(block.prefix);
            while (digits.size() < 11)
                digits += static_cast<char>('0' + random() % 10);
            const std::u16string title(digits.begin(), digits.end());
            const LookupOutcome alone = numbers().lookup(title);
            if (!alone.valid())
                continue;
            ++valid;
            builtIn += !alone.place.empty();
            withSegments += !covered.lookup(title).place.empty();
        }
    qInfo("places: built-in data %d of %d (%.1f%%), with segments %d", builtIn, valid,
          100.0 * builtIn / valid, withSegments);
    QVERIFY(valid > 10'000);
    QCOMPARE(withSegments, valid);
}

QTEST_GUILESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
