// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "site/pages/static_files.h"

namespace zuno::service {

class Site;

Answer homePage(const RouteContext &context, const Site &site);
// One of the site's fixed files (style sheet, icons), kept a day by browsers.
Answer staticFile(const RouteContext &context, const StaticFile &file);

}  // namespace zuno::service
