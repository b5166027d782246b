// SPDX-License-Identifier: Apache-2.0
#include "gbk_decoding_rows.h"

#include <QFile>
#include <QTest>

void addGbkDecodingRows()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QFile table(QString::fromUtf8(ZUNO_TEST_DATA "/gbk-decoding.tsv"));
    QVERIFY2(table.open(QIODevice::ReadOnly | QIODevice::Text), "the decoding table is missing");
    while (!table.atEnd()) {
        const QByteArray line = table.readLine().chopped(1);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> columns = line.split('\t');
        QCOMPARE(columns.size(), 3);
        const QByteArray bytes =
            columns[1] == "-" ? QByteArray() : QByteArray::fromHex(columns[1]);
        QString expected;
        if (columns[2] != "-") {
            for (const QByteArray &unit : columns[2].split(' '))
                expected += QChar(char16_t(unit.toUShort(nullptr, 16)));
        }
        QTest::newRow(columns[0].constData()) << bytes << expected;
    }
}
