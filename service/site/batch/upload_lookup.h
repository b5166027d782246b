// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/router.h"
#include "site/batch/batch_writer.h"
#include "site/batch/multipart_file.h"

#include <ctime>
#include <optional>
#include <string>

namespace zuno::service {

class Site;

// The home page's upload form: the file field of a multipart/form-data body looked up as a
// batch while it arrives, answered as a CSV download (with the byte order mark Excel needs)
// named after the day, zuno-lookup-YYYY-MM-DD.csv.
class UploadLookup : public BodyStream
{
public:
    // The form's file field.
    static constexpr std::string_view kFileField = "file";

    // Rows as the batch API answers them, with the site's community places and labels.
    UploadLookup(const Site &site, std::string_view contentType, std::time_t now);

    std::optional<StringResponse> refusal(unsigned version) override;
    StringResponse head(unsigned version) override;
    void feed(std::string_view bytes) override;
    void end(bool complete) override;
    State produce(std::string &out, size_t rows) override;
    void takeVerdicts(std::array<std::uint64_t, kVerdictCount> &counts) override
    {
        writer_.takeVerdicts(counts);
    }

private:
    // Ends the batch once the form's fate is known: at its closing boundary, a fault or the
    // body's end.
    void settle();

    std::optional<MultipartFile> form_;
    BatchWriter writer_;
    size_t maxRows_;
    std::string contents_;
    std::string fileName_;
    bool settled_ = false;
    bool bodyEnded_ = false;
};

}  // namespace zuno::service
