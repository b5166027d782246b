#include "site.h"

#include "lookup_json.h"
#include "pages.h"

namespace zuno::service {

Site::Site(DownloadFolder downloads, const SegmentStore *segments)
    : lookup_(segments),
      downloads_(std::move(downloads)),
      exampleQuery_(std::string(kApiLookupPath) + "?" + std::string(kNumberParameter) +
                    "=13800138000")
{
    constexpr std::u16string_view kExampleNumber = u"13800138000";
    exampleJson_ = lookupJson(lookup_.lookup(kExampleNumber), kExampleNumber);
}

}  // namespace zuno::service
