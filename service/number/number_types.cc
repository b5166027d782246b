// SPDX-License-Identifier: Apache-2.0
#include "number/number_types.h"

#include "number/digit_automaton.h"

#include <phonenumbers/phonemetadata.pb.h>
#include <phonenumbers/phonenumberutil.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <stdexcept>

namespace i18n::phonenumbers {
// libphonenumber's compiled-in metadata, a serialised PhoneMetadataCollection; exported by
// libphonenumber.so but declared in a header it does not install.
int metadata_size();
const void *metadata_get();
}  // namespace i18n::phonenumbers

namespace zuno::service {
namespace {

using i18n::phonenumbers::PhoneMetadata;
using i18n::phonenumbers::PhoneNumberDesc;
using i18n::phonenumbers::PhoneNumberUtil;

// Index of each description in descriptions_, in the order GetNumberType tries them.
enum DescriptionIndex : size_t {
    kGeneral,
    kPremiumRate,
    kTollFree,
    kSharedCost,
    kVoip,
    kPersonalNumber,
    kPager,
    kUan,
    kVoicemail,
    kFixedLine,
    kMobile,
    kDescriptionCount
};

std::atomic<std::uint64_t> nextGeneration{1};

}  // namespace

struct NumberTypes::Description {
    std::vector<int> possibleLengths;            // empty: any length
    std::unique_ptr<icu::RegexPattern> pattern;  // null: matches nothing
    std::bitset<100> leads;                      // the two leading digits it can match
};

NumberTypes::NumberTypes() : generation_(nextGeneration.fetch_add(1))
{
    i18n::phonenumbers::PhoneMetadataCollection collection;
    if (!collection.ParseFromArray(i18n::phonenumbers::metadata_get(),
                                   i18n::phonenumbers::metadata_size()))
        throw std::runtime_error("libphonenumber metadata does not parse");
    const auto china =
        std::find_if(collection.metadata().begin(), collection.metadata().end(),
                     [](const PhoneMetadata &entry) { return entry.id() == kChinaRegion; });
    if (china == collection.metadata().end())
        throw std::runtime_error("libphonenumber metadata has no CN entry");

    const PhoneNumberDesc *ordered[kDescriptionCount] = {
        &china->general_desc(), &china->premium_rate(), &china->toll_free(),
        &china->shared_cost(),  &china->voip(),         &china->personal_number(),
        &china->pager(),        &china->uan(),          &china->voicemail(),
        &china->fixed_line(),   &china->mobile()};
    descriptions_.resize(kDescriptionCount);
    std::vector<std::string> patterns;
    for (const PhoneNumberDesc *desc : ordered)
        patterns.push_back(desc->national_number_pattern());
    automaton_ = std::make_unique<const DigitAutomaton>(patterns);
    for (size_t i = 0; i < kDescriptionCount; ++i) {
        const PhoneNumberDesc &desc = *ordered[i];
        Description &description = descriptions_[i];
        description.possibleLengths.assign(desc.possible_length().begin(),
                                           desc.possible_length().end());
        if (desc.national_number_pattern().empty())
            continue;
        UErrorCode status = U_ZERO_ERROR;
        UParseError where{};
        description.pattern.reset(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8(desc.national_number_pattern()), 0, where, status));
        if (U_FAILURE(status))
            throw std::runtime_error(std::string("CN number pattern does not compile: ") +
                                     u_errorName(status));
        // Where two digits alone fail without the matcher reading past them, no number that
        // begins with them matches: most lookups then try two patterns instead of four.
        const std::unique_ptr<icu::RegexMatcher> probe(description.pattern->matcher(status));
        for (int lead = 0; lead < 100 && U_SUCCESS(status); ++lead) {
            const char digits[] = {static_cast<char>('0' + lead / 10),
                                   static_cast<char>('0' + lead % 10)};
            const icu::UnicodeString input(digits, 2, US_INV);
            probe->reset(input);
            const bool matched = probe->matches(status);
            description.leads.set(static_cast<size_t>(lead), matched || probe->hitEnd());
        }
        if (U_FAILURE(status))
            throw std::runtime_error(std::string("RegexMatcher on leading digits: ") +
                                     u_errorName(status));
    }
    sameMobileAndFixedLinePattern_ = china->same_mobile_and_fixed_line_pattern();
}

NumberTypes::~NumberTypes() = default;

bool NumberTypes::possibleLength(size_t index, size_t length) const
{
    const std::vector<int> &lengths = descriptions_[index].possibleLengths;
    return lengths.empty() ||
        std::find(lengths.begin(), lengths.end(), static_cast<int>(length)) != lengths.end();
}

bool NumberTypes::matches(size_t index, const icu::UnicodeString &input) const
{
    const Description &description = descriptions_[index];
    const int length = input.length();
    if (!possibleLength(index, static_cast<size_t>(length)))
        return false;
    if (!description.pattern)
        return false;
    const auto isDigit = [&](int at) { return input[at] >= u'0' && input[at] <= u'9'; };
    if (length >= 2 && isDigit(0) && isDigit(1) &&
        !description.leads.test(static_cast<size_t>((input[0] - u'0') * 10 + input[1] - u'0')))
        return false;

    // A RegexMatcher holds match state, so each thread keeps its own, made on first use.
    struct Matchers {
        std::uint64_t generation = 0;
        std::vector<std::unique_ptr<icu::RegexMatcher>> byDescription;
    };
    thread_local Matchers matchers;
    if (matchers.generation != generation_) {
        matchers.byDescription.clear();
        matchers.byDescription.resize(kDescriptionCount);
        matchers.generation = generation_;
    }
    std::unique_ptr<icu::RegexMatcher> &matcher = matchers.byDescription[index];
    UErrorCode status = U_ZERO_ERROR;
    if (!matcher) {
        matcher.reset(description.pattern->matcher(input, status));
        if (U_FAILURE(status))
            throw std::runtime_error(std::string("RegexMatcher: ") + u_errorName(status));
    } else {
        matcher->reset(input);
    }
    const bool whole = matcher->matches(status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("RegexMatcher::matches: ") + u_errorName(status));
    return whole;
}

template<class Matches> int NumberTypes::classify(Matches matches) const
{
    if (!matches(kGeneral))
        return PhoneNumberUtil::UNKNOWN;
    static constexpr std::pair<DescriptionIndex, PhoneNumberUtil::PhoneNumberType> kSpecial[] = {
        {kPremiumRate, PhoneNumberUtil::PREMIUM_RATE},
        {kTollFree, PhoneNumberUtil::TOLL_FREE},
        {kSharedCost, PhoneNumberUtil::SHARED_COST},
        {kVoip, PhoneNumberUtil::VOIP},
        {kPersonalNumber, PhoneNumberUtil::PERSONAL_NUMBER},
        {kPager, PhoneNumberUtil::PAGER},
        {kUan, PhoneNumberUtil::UAN},
        {kVoicemail, PhoneNumberUtil::VOICEMAIL}};
    for (const auto &[index, type] : kSpecial)
        if (matches(index))
            return type;
    if (matches(kFixedLine)) {
        if (sameMobileAndFixedLinePattern_ || matches(kMobile))
            return PhoneNumberUtil::FIXED_LINE_OR_MOBILE;
        return PhoneNumberUtil::FIXED_LINE;
    }
    if (!sameMobileAndFixedLinePattern_ && matches(kMobile))
        return PhoneNumberUtil::MOBILE;
    return PhoneNumberUtil::UNKNOWN;
}

int NumberTypes::typeOf(std::string_view significant) const
{
    const std::uint16_t matched = automaton_->matches(significant);
    return classify([&](size_t index) {
        return (matched >> index & 1) != 0 && possibleLength(index, significant.size());
    });
}

int NumberTypes::typeByPatterns(std::string_view significant) const
{
    // Made once for every pattern tried.
    const icu::UnicodeString input(significant.data(), static_cast<int32_t>(significant.size()),
                                   US_INV);
    return classify([&](size_t index) { return matches(index, input); });
}

}  // namespace zuno::service
