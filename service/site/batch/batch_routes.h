// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"

#include <cstddef>
#include <memory>

namespace zuno::service {

class Site;

// The batch API (/api/v1/lookup/batch) and the home page's upload form (/lookup/batch), which
// answer their bodies as they arrive.
std::unique_ptr<BodyStream> apiBatch(const RouteContext &context, const Site &site);
std::unique_ptr<BodyStream> upload(const RouteContext &context, const Site &site);

// Every record may be as long as the batch takes one; a body longer than that cannot be a
// batch within the limit.
size_t batchBodyLimit(const Site &site);

}  // namespace zuno::service
