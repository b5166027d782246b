// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "site/community/write_answers.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zuno::service {

class Site;
struct SiteLabels;

// What a community write sends, read and checked: who sends it, its fields, its number.
// The network that reports, from the connection or, behind a trusted proxy, its header.
std::string reporterOf(const Site &site, const RouteContext &context);
// A form field's value: '+' is a space, then percent-decoded.
std::string formValue(std::string_view body, std::string_view name);

// A write sent as JSON: its number as text and its other fields by name (absent or null ones
// empty); or the refusal, which shows `shape`, the object expected.
struct JsonWrite {
    std::u16string number;
    std::vector<std::string> fields;
};
std::variant<JsonWrite, Refusal>
jsonWrite(std::string_view body, std::initializer_list<const char *> names, std::string_view shape);

// A write posted by a form of this site's result page: its number as text and the page to go
// back to; or the refusal (`elsewhere` is its sentence for a post from another site).
struct FormWrite {
    std::u16string number;
    std::string back;
};
std::variant<FormWrite, Refusal> formWrite(const Request &request, const SiteLabels &labels,
                                          std::string_view elsewhere);

}  // namespace zuno::service
