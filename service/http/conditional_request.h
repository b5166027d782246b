// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace zuno::service {

// What a client's validators and Range can be checked against: a file's strong ETag (quoted),
// its modification time and its size.
struct Representation {
    std::string etag;
    std::time_t lastModified = 0;
    std::uint64_t size = 0;
};

// What to send: the whole file, 304, bytes [offset, offset + length) as 206, 412 or 416.
struct Selection {
    enum class Kind { Whole, NotModified, Partial, PreconditionFailed, Unsatisfiable };
    Kind kind = Kind::Whole;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The header values of a GET or HEAD that bear on what to send; empty when a field is absent.
struct Preconditions {
    std::string_view ifNoneMatch;
    std::string_view ifModifiedSince;
    std::string_view range;
    std::string_view ifRange;
    std::string_view ifMatch;
    std::string_view ifUnmodifiedSince;
};

// RFC 9110's order: If-Match (strong comparison) or, without it, If-Unmodified-Since decides
// 412; then If-None-Match (weak comparison) or, without it, If-Modified-Since decides 304; then
// one byte range (the unit in any case), honoured when If-Range (if any) still names this
// representation. A date or Range that cannot be read is ignored, and so is an
// If-Modified-Since later than now, so garbage yields the whole file; a list of several ranges
// yields it as well. A last byte past what 64 bits hold means the end of the file.
Selection selectRepresentation(const Preconditions &request, const Representation &file,
                               std::time_t now);

}  // namespace zuno::service
