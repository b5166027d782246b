// SPDX-License-Identifier: Apache-2.0
#include "upload_lookup.h"

#include "site.h"

#include "request_handler.h"

#include <boost/beast/http/field.hpp>

namespace zuno::service {

UploadLookup::UploadLookup(const Site &site, std::string_view contentType, std::time_t now)
    : batch_(site.lookup(), BatchOptions{BatchFormat::Csv, true, site.batchMaxRows(), &site})
{
    if (const auto boundary = MultipartFile::boundaryOf(contentType))
        form_.emplace(*boundary, std::string(kFileField));
    // The day where the service runs, which is the user's in China.
    std::tm local{};
    char day[16] = "";
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    fileName_ = "zuno-lookup-" + std::string(day) + ".csv";
}

std::optional<StringResponse> UploadLookup::refusal(unsigned version)
{
    const bool noFile = (bodyEnded_ || (form_ && form_->formEnded())) && !fileEnded_;
    if (!form_ || form_->malformed() || noFile)
        return errorResponse(http::status::bad_request, version, Audience::Page);
    if (batch_.refusal(version))
        return errorResponse(http::status::payload_too_large, version, Audience::Page);
    return std::nullopt;
}

StringResponse UploadLookup::head(unsigned version)
{
    StringResponse response = batch_.head(version);
    response.set(http::field::content_disposition, "attachment; filename=\"" + fileName_ + "\"");
    return response;
}

void UploadLookup::feed(std::string_view bytes)
{
    if (!form_ || fileEnded_)
        return;
    contents_.clear();
    form_->feed(bytes, contents_);
    if (!contents_.empty())
        batch_.feed(contents_);
    if (form_->fileEnded() || form_->malformed()) {
        fileEnded_ = true;
        batch_.end(!form_->malformed());
    }
}

void UploadLookup::end(bool)
{
    bodyEnded_ = true;
    // A body that ends, whole or not, before its file has: the file was cut short.
    if (!fileEnded_)
        batch_.end(false);
}

BodyStream::State UploadLookup::produce(std::string &out, size_t rows)
{
    return batch_.produce(out, rows);
}

}  // namespace zuno::service
