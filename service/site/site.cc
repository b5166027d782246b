#include "site.h"

#include "lookup_json.h"
#include "pages.h"

namespace zuno::service {

Site::Site(DownloadFolder downloads, size_t batchMaxRows)
    : downloads_(std::move(downloads)),
      exampleQuery_(std::string(kApiLookupPath) + "?" + std::string(kNumberParameter) +
                    "=13800138000"),
      batchMaxRows_(batchMaxRows)
{
    constexpr std::u16string_view kExampleNumber = u"13800138000";
    exampleJson_ = lookupJson(lookup_.lookup(kExampleNumber), kExampleNumber);
}

}  // namespace zuno::service
