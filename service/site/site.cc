// SPDX-License-Identifier: Apache-2.0
#include "site/site.h"

#include "number/typed_queries.h"
#include "site/lookup/lookup_json.h"
#include "site/paths.h"
#include "text/gbk_codec.h"
#include "text/utf8.h"

namespace zuno::service {

Site::Site(DownloadFolder downloads, SiteLabels labels, const SegmentStore *segments,
           size_t batchMaxRows)
    : lookup_(segments),
      downloads_(std::move(downloads)),
      labels_(std::move(labels)),
      exampleQuery_(std::string(kApiLookupPath) + "?" + std::string(kNumberParameter) +
                    "=13800138000"),
      batchMaxRows_(batchMaxRows)
{
    constexpr std::u16string_view kExampleNumber = u"13800138000";
    exampleJson_ = lookupJson(lookup_.lookup(kExampleNumber), kExampleNumber, std::nullopt);
}

LookupOutcome Site::answer(std::u16string_view title) const
{
    LookupOutcome outcome = lookup_.lookup(title);
    if (!labels_.store || !outcome.valid() || !outcome.place.empty())
        return outcome;
    const auto block = mobileBlock(firstNumberOf(outcome));
    const std::string *place = block ? labels_.store->board().current().placeOf(*block) : nullptr;
    if (!place)
        return outcome;
    if (auto text = decodeUtf8(*place)) {
        outcome.place = std::move(*text);
        outcome.placeSource = PlaceSource::Community;
    }
    return outcome;
}

std::optional<ShownLabel> Site::labelOf(const LookupOutcome &outcome) const
{
    if (!labels_.store || !outcome.valid())
        return std::nullopt;
    const auto key = numberKey(outcome.e164);
    if (!key)
        return std::nullopt;
    return labels_.store->board().current().find(*key);
}

std::vector<DataSet> Site::dataSets() const
{
    const SegmentStore *segments = lookup_.segments();
    const std::shared_ptr<const SegmentTable> table = segments ? segments->current() : nullptr;
    return zuno::service::dataSets(table.get());
}

}  // namespace zuno::service
