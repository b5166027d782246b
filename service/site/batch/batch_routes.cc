// SPDX-License-Identifier: Apache-2.0
#include "site/batch/batch_routes.h"

#include "http/responses.h"
#include "site/batch/batch_lookup.h"
#include "site/batch/upload_lookup.h"
#include "site/error_responses.h"
#include "site/site.h"

#include <boost/beast/http/field.hpp>

#include <cstdint>
#include <ctime>

namespace zuno::service {

std::unique_ptr<BodyStream> apiBatch(const RouteContext &context, const Site &site)
{
    const auto options = batchOptions(context.query, site.batchMaxRows());
    if (!options)
        return std::make_unique<RefusedStream>(problemResponse(
            http::status::bad_request, context.request.version(), "batch_options_invalid",
            "format 只能是 csv 或 jsonl，bom 只能是 0 或 1"));
    BatchOptions withSite = *options;
    withSite.site = &site;
    return std::make_unique<BatchLookup>(site.lookup(), withSite);
}

std::unique_ptr<BodyStream> upload(const RouteContext &context, const Site &site)
{
    return std::make_unique<UploadLookup>(
        site, plainView(context.request[http::field::content_type]), std::time(nullptr));
}

size_t batchBodyLimit(const Site &site)
{
    const size_t rows = site.batchMaxRows() + 1;
    return rows > SIZE_MAX / BatchInput::kMaxRecordBytes ? SIZE_MAX
                                                         : rows * BatchInput::kMaxRecordBytes;
}

}  // namespace zuno::service
