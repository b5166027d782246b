// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace zuno::service {

struct LookupOutcome;

// The answer to the lookup form: the outcome's fields (or the sentence saying what is wrong
// with the input), then labelSection (HTML, for a valid number), and the form again, holding
// the title as typed.
std::string lookupPageHtml(const LookupOutcome &outcome, std::u16string_view title,
                           std::string_view labelSection = {});

}  // namespace zuno::service
