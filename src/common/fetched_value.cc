// SPDX-License-Identifier: Apache-2.0
#include "fetched_value.h"

#include <utility>

namespace zuno {

FetchedValue FetchedValue::fromText(QString text)
{
    FetchedValue value;
    value.value_ = std::move(text);
    return value;
}

FetchedValue FetchedValue::fromBytes(QByteArray bytes)
{
    FetchedValue value;
    value.value_ = std::move(bytes);
    return value;
}

QString FetchedValue::toText() const
{
    if (const auto *text = std::get_if<QString>(&value_))
        return *text;
    if (const auto *bytes = std::get_if<QByteArray>(&value_))
        return QString::fromUtf8(*bytes);
    return {};
}

qsizetype FetchedValue::length() const
{
    if (const auto *text = std::get_if<QString>(&value_))
        return text->size();
    return toText().size();
}

QByteArray FetchedValue::bytes() const
{
    if (const auto *bytes = std::get_if<QByteArray>(&value_))
        return *bytes;
    return {};
}

}  // namespace zuno
