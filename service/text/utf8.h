// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(std::u16string_view text);

// The text of bytes when they are well-formed UTF-8 (no overlong forms, no surrogates),
// nothing otherwise: for input that is refused when it is not UTF-8.
std::optional<std::u16string> decodeUtf8(std::string_view bytes);

// The text of bytes read as UTF-8, each ill-formed sequence becoming one U+FFFD and every
// well-formed one kept: for text that is shown whatever it holds.
std::u16string fromUtf8(std::string_view bytes);

}  // namespace zuno::service
