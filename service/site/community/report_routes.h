// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

namespace zuno::service {

class Site;

// The routes that take community reports: the API's POST and DELETE /api/v1/reports (JSON) and
// the result page's form, POST /reports (303 back to the page). Each checks the report, then
// hands it to the store and answers once it has committed.
RouteTable reportRoutes(const Site &site);

// The result page when labels are on: the number's label from the snapshot at once, its counts
// and comments from the store, answered when the store has read them.
void lookupPageWithLabels(const RouteContext &context, LaterAnswer answer, const Site &site);

}  // namespace zuno::service
