// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zuno::service {

// Takes the contents of one file field out of a multipart/form-data body (RFC 7578) as the body
// arrives, holding back no more than a boundary's length of it: the parts before and after the
// field are read and dropped.
class MultipartFile
{
public:
    // The boundary of a Content-Type field's value, when it is multipart/form-data with one.
    static std::optional<std::string> boundaryOf(std::string_view contentType);

    MultipartFile(std::string_view boundary, std::string field);

    // Reads the next bytes of the body, appending what belongs to the file field to contents.
    void feed(std::string_view bytes, std::string &contents);

    // The file field began, and whether it has ended; the form ended.
    bool fileSeen() const { return fileSeen_; }
    bool fileEnded() const { return fileSeen_ && !inFile_; }
    bool formEnded() const { return state_ == State::Done; }
    bool malformed() const { return state_ == State::Malformed; }
    // More than one part carried a file (the field, or any part with a file name).
    bool otherFileSeen() const { return fileParts_ > 1; }

private:
    enum class State { Preamble, AfterDelimiter, Headers, Part, Done, Malformed };
    void advance(std::string &contents);

    std::string delimiter_;  // CRLF "--" boundary
    std::string field_;
    std::string pending_;
    State state_ = State::Preamble;
    bool inFile_ = false;
    bool fileSeen_ = false;
    size_t fileParts_ = 0;
};

}  // namespace zuno::service
