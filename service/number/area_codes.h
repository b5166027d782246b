// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zuno::service {

class NumberTypes;

// The places of a list as the geocoder writes it ("陕西省西安市、咸阳市"), split at '、'.
std::vector<std::u16string> splitPlaces(std::u16string_view list);

// The area code of each place that libphonenumber's geocoder names, and the place of each area
// code, derived from its own fixed-line data: the geocoder is asked about a fixed line of every
// area code, and each place it names for the code gets that code. A code shared by several places
// ("陕西省西安市、咸阳市") is the code of each of them, and wins over a code the place is named
// alone for (遵义 joined 0851; its old 0852 lingers in the data). A place named for two codes
// otherwise gets neither, and a place that the fixed-line data does not name (a merged or renamed
// city, another spelling) gets none: no area code rather than a wrong one.
class AreaCodes
{
public:
    using Entry = std::pair<std::u16string, std::u16string>;  // place, code

    // describe: what the geocoder names for a national significant number, empty for no place.
    AreaCodes(const NumberTypes &types,
              const std::function<std::u16string(const std::string &significant)> &describe);

    // The area code of a place as the geocoder spells it, trunk '0' included ("029"); empty when
    // it has none.
    std::u16string_view codeOf(std::u16string_view place) const;

    // What the geocoder names for the fixed lines of an area code given without its trunk '0'
    // ("29"): "陕西省西安市、咸阳市"; empty for a code it names nothing for.
    std::u16string_view placeOfCode(std::string_view code) const;

    // Every place that has an area code, with its code, in the order of the places.
    const std::vector<Entry> &entries() const { return byPlace_; }

private:
    std::vector<Entry> byPlace_;
    std::vector<std::pair<std::string, std::u16string>> byCode_;  // in the order of the codes
};

}  // namespace zuno::service
