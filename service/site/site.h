#pragma once

#include "download_folder.h"
#include "number_lookup.h"

#include <utility>

namespace zuno::service {

// Everything a request may consult: the numbering data and the download folder.
// Built once at start-up and only read after that, from any thread.
class Site
{
public:
    explicit Site(DownloadFolder downloads = {}) : downloads_(std::move(downloads)) {}

    const NumberLookup &lookup() const { return lookup_; }
    const DownloadFolder &downloads() const { return downloads_; }

private:
    NumberLookup lookup_;
    DownloadFolder downloads_;
};

}  // namespace zuno::service
