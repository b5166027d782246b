#pragma once

#include <boost/beast/http/message.hpp>

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

}  // namespace zuno::service
