// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "labels/label_snapshot.h"
#include "labels/label_store.h"

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// Path of the form that takes reports on the site.
inline constexpr std::string_view kReportFormPath = "/reports";
inline constexpr std::string_view kApiReportsPath = "/api/v1/reports";

// The result page's part on what callers say of a number (UTF-8 HTML, every text escaped): its
// label or that it has none, the recent reports by category with the latest date, up to
// LabelStore::kShownComments newest comments, and a form to report it that needs no script.
// Without details (the database could not be read) it says so and keeps the label and form.
std::string labelSectionHtml(std::string_view e164, const std::optional<ShownLabel> &label,
                             const NumberDetails &details, bool reportsTaken);

}  // namespace zuno::service
