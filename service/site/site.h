#pragma once

#include "download_folder.h"
#include "number_lookup.h"

#include <string>
#include <utility>

namespace zuno::service {

// Everything a request may consult: the numbering data, the download folder (whose own thread
// keeps its listing current) and the JSON API's example. Built once at start-up; shared by every
// thread after that.
class Site
{
public:
    // The most numbers one batch request may look up.
    static constexpr size_t kDefaultBatchMaxRows = 1'000'000;

    explicit Site(DownloadFolder downloads = {}, size_t batchMaxRows = kDefaultBatchMaxRows);

    const NumberLookup &lookup() const { return lookup_; }
    const DownloadFolder &downloads() const { return downloads_; }
    const std::string &exampleQuery() const { return exampleQuery_; }
    const std::string &exampleJson() const { return exampleJson_; }
    size_t batchMaxRows() const { return batchMaxRows_; }

private:
    NumberLookup lookup_;
    DownloadFolder downloads_;
    std::string exampleQuery_;
    std::string exampleJson_;
    size_t batchMaxRows_;
};

}  // namespace zuno::service
