// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "http/trusted_proxies.h"
#include "labels/label_store.h"
#include "labels/reporter_networks.h"
#include "number/number_lookup.h"
#include "site/downloads/download_folder.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zuno::service {

// The community labels a site shows and takes: the store (none: labels are off, reports are
// refused), how reporters' networks are keyed, and which proxies tell the client's address.
struct SiteLabels {
    LabelStore *store = nullptr;
    std::optional<ReporterNetworks> networks;
    TrustedProxies trustedProxies;
    // The origins (scheme://host[:port], as browsers send them) whose pages may write through
    // the API from a browser (--cors-origin); this site's own pages always may.
    std::vector<std::string> corsOrigins;
    // The names this site is reached by (lower case; IP addresses and localhost always count):
    // a page's write is this site's own only when its request names one of them.
    std::vector<std::string> siteNames;
};

// Everything a request may consult: the numbering data, the download folder (whose own thread
// keeps its listing current), the labels and the JSON API's example. Built once at start-up;
// shared by every thread after that.
class Site
{
public:
    // The most numbers one batch request may look up.
    static constexpr size_t kDefaultBatchMaxRows = 1'000'000;

    // segments: the operator's number blocks, which must outlive the site; none when null.
    explicit Site(DownloadFolder downloads = {}, SiteLabels labels = {},
                  const SegmentStore *segments = nullptr,
                  size_t batchMaxRows = kDefaultBatchMaxRows);

    const NumberLookup &lookup() const { return lookup_; }
    // What answers show of a number: the lookup, and for a mobile block the data gives no place,
    // the place the community agreed on in the store's snapshot; never waits.
    LookupOutcome answer(std::u16string_view title) const;
    const SiteLabels &labels() const { return labels_; }
    // The label of a number looked up, from the store's snapshot; never waits.
    std::optional<ShownLabel> labelOf(const LookupOutcome &outcome) const;
    const DownloadFolder &downloads() const { return downloads_; }
    const std::string &exampleQuery() const { return exampleQuery_; }
    const std::string &exampleJson() const { return exampleJson_; }
    size_t batchMaxRows() const { return batchMaxRows_; }

private:
    NumberLookup lookup_;
    DownloadFolder downloads_;
    SiteLabels labels_;
    std::string exampleQuery_;
    std::string exampleJson_;
    size_t batchMaxRows_;
};

}  // namespace zuno::service
