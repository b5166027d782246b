// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace zuno::service {

class SegmentTable;

// A set of data answers come from, as the home page, --version, /metrics and the API name it.
struct DataSet {
    std::string kind;     // "geocoding", "carriers" or "segments"
    std::string name;     // "libphonenumber", the carrier table's source, a segment file's source
    std::string version;  // libphonenumber's version; a segment file's path
    std::string date;     // YYYY-MM-DD where the data is dated
};

// The built-in data sets, then each file of segments (which may be null).
std::vector<DataSet> dataSets(const SegmentTable *segments);

}  // namespace zuno::service
