// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace zuno::service {

// For text placed in HTML, in an element or in a quoted attribute.
std::string escapeHtml(std::string_view text);

}  // namespace zuno::service
