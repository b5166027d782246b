// SPDX-License-Identifier: Apache-2.0
// What a request's head calls for: its framing, Host, route, body limit or refusal.
#pragma once

#include "http/router.h"

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// How a request says its body is delimited, as far as Transfer-Encoding goes (the parser checks
// Content-Length itself).
enum class Framing {
    Plain,    // no Transfer-Encoding: a body only if Content-Length says so
    Chunked,  // Transfer-Encoding: chunked alone
    Invalid,  // any other transfer coding, Transfer-Encoding with Content-Length, or in HTTP/1.0
};

// Bodies whose end cannot be found safely are refused rather than guessed, so that the bytes of
// one request are never read as another (RFC 9112, section 6.3).
Framing requestFraming(const boost::beast::http::request_header<> &head);

// One Host field in HTTP/1.1, at most one in HTTP/1.0 (RFC 9112, section 3.2); a request
// without it, or with two, is refused.
bool hasValidHost(const boost::beast::http::request_header<> &head);

// The origin form ("/path?query") of an absolute-form target ("http://host/path?query"), which
// a server must accept (RFC 9112, section 3.2.2); nothing for a target already in origin form or
// of another kind.
std::optional<std::string> originForm(std::string_view target);

// Beast's numbering of HTTP versions: HTTP/1.1, the first with chunks and 100 Continue.
inline constexpr unsigned kHttp11 = 11;

// Whether a read ended because the parser refused what came, rather than the socket or a timer.
bool isParseError(const boost::beast::error_code &error);

// What the connection does with a request whose head has been read.
struct RequestPlan {
    enum class Step { Answer, ReadBody, Refuse };
    Step step = Step::Refuse;
    boost::beast::http::status refusal = boost::beast::http::status::bad_request;
    Router::Found found;  // label: otherLabel() until the route is known
    Audience audience = Audience::Page;
    // As the client asked, every Connection field line counted; false for a refusal that
    // leaves a body unread.
    bool keepAlive = false;
    bool head = false;
    size_t bodyLimit = 0;
    bool pathDecoded = false;  // the path is in the storage given to planRequest
};

// Refuses what cannot be framed safely or lacks its Host, finds the route of the
// percent-decoded path (put in pathStorage when it has escapes), and checks the method and the
// declared body against the route: 404, 405, 413 refused without reading the body. Rewrites an
// absolute-form target to origin form.
RequestPlan planRequest(boost::beast::http::request_parser<boost::beast::http::string_body> &parser,
                        const Router &router, std::string &pathStorage);

// Who reads the answers to a target's path (as for planRequest): its route's audience, or for a
// path no route has, the API's or the pages'; for anything that is no path, the pages'.
Audience audienceOfTarget(std::string_view target, const Router &router);

// The refusal a plan calls for, in its audience's form; with Allow for 405, and for 413 the
// route's limit.
StringResponse refusalResponse(const RequestPlan &plan, unsigned version);

}  // namespace zuno::service
