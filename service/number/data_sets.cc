// SPDX-License-Identifier: Apache-2.0
#include "number/data_sets.h"

#include "number/data_versions.h"
#include "number/segment_table.h"

namespace zuno::service {

std::vector<DataSet> dataSets(const SegmentTable *segments)
{
    std::vector<DataSet> sets{
        {"geocoding", "libphonenumber", kPhoneNumberDataVersion, ""},
        {"carriers", kCarrierTableSource, "", kCarrierTableDate},
    };
    if (segments != nullptr)
        for (const SegmentSource &source : segments->sources())
            sets.push_back({"segments", source.name, source.path, source.date});
    return sets;
}

}  // namespace zuno::service
