// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: any raw title value looked up twice, once through the compiled table and
// once through libphonenumber alone; the two answers must be the same in every field.
#include "fuzz_checks.h"
#include "http/query.h"
#include "number/number_lookup.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zuno::service;
    static const NumberLookup compiled;
    static const NumberLookup libphonenumber(nullptr, nullptr);
    const std::u16string title =
        decodeTitle(std::string_view(reinterpret_cast<const char *>(data), size));
    zuno::fuzz::require(compiled.lookup(title) == libphonenumber.lookup(title),
                        "the compiled table answers as libphonenumber does");
    return 0;
}
