// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

namespace zuno {

// What a fetch yields: nothing at all, text (the normal case), or the raw bytes of a body
// that arrived but could not be converted to text.
class FetchedValue
{
public:
    FetchedValue() = default;

    static FetchedValue fromText(QString text);
    static FetchedValue fromBytes(QByteArray bytes);

    bool isText() const { return std::holds_alternative<QString>(value_); }
    bool isBytes() const { return std::holds_alternative<QByteArray>(value_); }

    // The value taken as text: empty gives an empty string, bytes are read as UTF-8 with
    // U+FFFD for anything malformed.
    QString toText() const;

    // Length in UTF-16 code units of toText(); 0 for an empty value.
    qsizetype length() const;

    // The bytes of a bytes value; an empty array for the other two kinds.
    QByteArray bytes() const;

private:
    std::variant<std::monostate, QString, QByteArray> value_;
};

}  // namespace zuno
