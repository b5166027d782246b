// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "fetched_value.h"

#include <stdexcept>
#include <string_view>

namespace zuno {

// Raised when a block of bytes cannot be read in the charset asked for.
class ConversionError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Decodes the bytes held in strBody as text in code page 936, the one charset the window reads
// (every label of GBK, "GB2312" first): units are told apart by the portable rule, pairs mapped
// by MultiByteToWideChar. An empty value or an empty block gives an empty text.
// Throws ConversionError for any other label, when the system lacks code page 936, or when
// strBody holds text.
FetchedValue BytesToBstr(const FetchedValue &strBody, std::u16string_view CodeBase);

}  // namespace zuno
