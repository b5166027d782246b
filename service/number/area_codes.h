#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zuno::service {

class NumberTypes;

// The area code of each place that libphonenumber's geocoder names, derived from its own
// fixed-line data: the geocoder is asked about a fixed line of every area code, and each place it
// names for the code gets that code. A code shared by several places ("陕西省西安市、咸阳市") is
// the code of each of them. A place named for two codes gets neither, and a place that the
// fixed-line data does not name (a merged or renamed city, another spelling) gets none: no area
// code rather than a wrong one.
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

    // Every place that has an area code, in the order of their names.
    const std::vector<Entry> &entries() const { return byPlace_; }

private:
    std::vector<Entry> byPlace_;
};

}  // namespace zuno::service
