// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/conditional_request.h"
#include "http/http_dates.h"
#include "http/query.h"
#include "http/responses.h"
#include "site/pages/error_responses.h"

#include <boost/beast/http/field.hpp>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <variant>

namespace zuno::service {

// What a file is sent as: its validators, type and caching, and for downloads the name to save.
struct Served {
    Representation representation;
    std::string_view contentType;
    std::string_view cacheControl;
    std::string attachmentName;
};

template<class Body> void describe(http::response<Body> &response, const Served &served)
{
    response.set(http::field::etag, served.representation.etag);
    response.set(http::field::last_modified, formatHttpDate(served.representation.lastModified));
    response.set(http::field::cache_control, beastView(served.cacheControl));
}

// 304 or 416 when the request's headers call for them; otherwise body(selection) answers with
// the whole file (200) or the one range asked for (206).
template<class MakeBody>
Response serveFile(const Request &request, const Served &served, MakeBody body)
{
    const Preconditions preconditions{plainView(request[http::field::if_none_match]),
                                      plainView(request[http::field::if_modified_since]),
                                      plainView(request[http::field::range]),
                                      plainView(request[http::field::if_range]),
                                      plainView(request[http::field::if_match]),
                                      plainView(request[http::field::if_unmodified_since])};
    const std::uint64_t size = served.representation.size;
    const Selection selection =
        selectRepresentation(preconditions, served.representation, std::time(nullptr));
    if (selection.kind == Selection::Kind::NotModified) {
        StringResponse response{http::status::not_modified, request.version()};
        describe(response, served);
        return response;
    }
    if (selection.kind == Selection::Kind::PreconditionFailed)
        return errorResponse(http::status::precondition_failed, request.version(), Audience::Page);
    if (selection.kind == Selection::Kind::Unsatisfiable) {
        StringResponse response =
            errorResponse(http::status::range_not_satisfiable, request.version(), Audience::Page);
        response.set(http::field::content_range, "bytes */" + std::to_string(size));
        return response;
    }
    const bool partial = selection.kind == Selection::Kind::Partial;
    auto response = body(partial ? http::status::partial_content : http::status::ok, selection);
    std::visit(
        [&](auto &message) {
            describe(message, served);
            message.set(http::field::content_type, beastView(served.contentType));
            message.set(http::field::accept_ranges, "bytes");
            if (!served.attachmentName.empty())
                message.set(http::field::content_disposition,
                            "attachment; filename*=UTF-8''" + percentEncode(served.attachmentName));
            if (partial)
                message.set(http::field::content_range,
                            "bytes " + std::to_string(selection.offset) + "-" +
                                std::to_string(selection.offset + selection.length - 1) + "/" +
                                std::to_string(size));
            message.prepare_payload();
        },
        response);
    return response;
}

}  // namespace zuno::service
