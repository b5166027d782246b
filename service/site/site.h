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
    // segments: the operator's number blocks, which must outlive the site; none when null.
    explicit Site(DownloadFolder downloads = {}, const SegmentStore *segments = nullptr);

    const NumberLookup &lookup() const { return lookup_; }
    const DownloadFolder &downloads() const { return downloads_; }
    const std::string &exampleQuery() const { return exampleQuery_; }
    const std::string &exampleJson() const { return exampleJson_; }

private:
    NumberLookup lookup_;
    DownloadFolder downloads_;
    std::string exampleQuery_;
    std::string exampleJson_;
};

}  // namespace zuno::service
