// SPDX-License-Identifier: Apache-2.0
#include "site/batch/upload_lookup.h"

#include "site/batch/batch_lookup.h"
#include "site/community/write_answers.h"
#include "site/error_responses.h"
#include "site/site.h"

#include <boost/beast/http/field.hpp>

#include <utility>

namespace zuno::service {

UploadLookup::UploadLookup(const Site &site, std::string_view contentType, std::time_t now)
    : writer_(site.lookup(), BatchOptions{BatchFormat::Csv, true, site.batchMaxRows(), &site}),
      maxRows_(site.batchMaxRows())
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
    const auto refused = [&](const char *code, std::string sentence,
                             http::status status = http::status::bad_request) {
        return refusalResponse({status, code, std::move(sentence)}, version, Audience::Page, "/");
    };
    if (!form_)
        return refused("upload_form_invalid", "提交的不是上传文件的表单，请在首页选择文件后提交。");
    if (form_->otherFileSeen())
        return refused("one_file_only", "每次只能上传一个文件，请只选择一个文件后重新提交。");
    if (form_->malformed())
        return refused("upload_form_invalid", "上传的表单格式有误，请重新选择文件后提交。");
    if (form_->formEnded() && !form_->fileSeen())
        return refused("upload_form_invalid", "表单中没有文件，请选择文件后提交。");
    // The form's closing boundary is what shows it whole, even when the file before it is.
    if (bodyEnded_ && !form_->formEnded())
        return refused("form_incomplete", "上传的表单不完整，请重新选择文件后提交。");
    if (writer_.overLimit())
        return refused("too_many_numbers",
                       "文件中的号码超过了每次最多查询的 " + std::to_string(maxRows_) +
                           " 个号码，请分成几个文件上传。",
                       http::status::payload_too_large);
    return std::nullopt;
}

StringResponse UploadLookup::head(unsigned version)
{
    StringResponse response = batchHead(BatchFormat::Csv, version);
    response.set(http::field::content_disposition, "attachment; filename=\"" + fileName_ + "\"");
    return response;
}

void UploadLookup::feed(std::string_view bytes)
{
    if (!form_ || settled_)
        return;
    contents_.clear();
    form_->feed(bytes, contents_);
    if (!contents_.empty())
        writer_.feed(contents_);
    // The rest of the form is read too: only its end shows that nothing after the file went wrong.
    if (form_->formEnded() || form_->malformed() || form_->otherFileSeen())
        settle();
}

void UploadLookup::end(bool)
{
    bodyEnded_ = true;
    settle();
}

void UploadLookup::settle()
{
    if (std::exchange(settled_, true))
        return;
    // Refused instead while the answer has not begun; after, its last row says what went wrong.
    if (!form_ || !form_->fileEnded())
        writer_.end(false);
    else if (form_->otherFileSeen())
        writer_.endWith("one_file_only", "每次只查询一个文件，其后的文件未查询");
    else if (!form_->formEnded())
        writer_.endWith("form_incomplete", "文件已全部查询，但其后的表单未发完或格式有误");
    else
        writer_.end(true);
}

BodyStream::State UploadLookup::produce(std::string &out, size_t rows)
{
    return streamState(writer_.produce(out, rows));
}

}  // namespace zuno::service
