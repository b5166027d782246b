// SPDX-License-Identifier: Apache-2.0
#include "http/responses.h"

#include <boost/beast/http/field.hpp>

#include <utility>

namespace zuno::service {

StringResponse textResponse(http::status status, const Request &request,
                            std::string_view contentType, std::string_view cacheControl,
                            std::string body)
{
    StringResponse response{status, request.version()};
    response.set(http::field::content_type, beastView(contentType));
    response.set(http::field::cache_control, beastView(cacheControl));
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

}  // namespace zuno::service
