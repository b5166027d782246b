// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "fetched_value.h"

#include <QString>

#include <stdexcept>

namespace zuno {

// Raised when a block of bytes cannot be read in the charset asked for.
class ConversionError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Decodes the bytes held in strBody as text in the charset named CodeBase.
// The WHATWG labels of GBK ("GB2312", "gbk", "chinese", ...) all decode as code page 936: units
// told apart by the portable rule, pairs mapped by ICU's table of Windows' code page 936; other
// labels go to ICU. The whole block is decoded; a malformed or truncated sequence becomes
// U+FFFD. An empty value or an empty block gives an empty text.
// Throws ConversionError when no converter knows CodeBase, or when strBody holds text.
FetchedValue BytesToBstr(const FetchedValue &strBody, const QString &CodeBase);

}  // namespace zuno
