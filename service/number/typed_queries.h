// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "number/number_lookup.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

U_NAMESPACE_BEGIN
class Transliterator;
U_NAMESPACE_END

namespace zuno::service {

class AreaCodes;

// The E.164 form of the first number of a block ("+8613800130000"), which answers for the block
// wherever a whole number is needed; the outcome's own for any other form.
std::string firstNumberOf(const LookupOutcome &outcome);

// What people type into a lookup box besides a whole number: a mobile block (1380013) or its
// first digits (199), an area code alone (0851, 851), a fixed line with an extension
// (010-12345678转123) and a place's name (成都, 四川成都市, 廣州, 香港). Names come from the
// area-code table, which has them from libphonenumber's geocoder, and from ICU for Hong Kong,
// Macau and Taiwan; Traditional characters are read through ICU's Traditional-Simplified.
class TypedQueries
{
public:
    using WholeNumber = std::function<LookupOutcome(std::u16string_view title)>;

    // wholeNumber: the lookup of a title as a whole number; both arguments must outlive this.
    TypedQueries(const AreaCodes &areaCodes, WholeNumber wholeNumber);
    ~TypedQueries();
    TypedQueries(const TypedQueries &) = delete;
    TypedQueries &operator=(const TypedQueries &) = delete;

    // The title read in another form, or `whole`, its answer as a whole number, when no form
    // reads it.
    LookupOutcome read(std::u16string_view title, LookupOutcome whole) const;

private:
    LookupOutcome block(const std::string &digits) const;
    LookupOutcome blockPrefix(const std::string &digits) const;
    LookupOutcome areaCode(const std::string &digits) const;
    LookupOutcome withExtension(std::u16string_view title) const;
    LookupOutcome placeName(std::u16string_view title) const;

    const AreaCodes &areaCodes_;
    WholeNumber wholeNumber_;
    std::vector<PlaceCode> places_;
    // Every name a place answers to, sorted, with the index of its place in places_.
    std::vector<std::pair<std::u16string, size_t>> names_;
    std::unique_ptr<icu::Transliterator> simplified_;
    mutable std::mutex simplifying_;  // an ICU transliterator is not for several threads at once
};

}  // namespace zuno::service
