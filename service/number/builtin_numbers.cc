// SPDX-License-Identifier: Apache-2.0
// The compiled table and the lookup that answers from it, apart from the rest of the number
// library so that the table's generator links the library without the table it writes.
#include "number/compiled_numbers.h"
#include "number/number_lookup.h"

namespace zuno::service {
namespace {
#include "number/compiled_numbers.inc"
}  // namespace

const CompiledNumbers &builtinNumbers()
{
    static constexpr CompiledNumbers table(kCompiledRanges, kCompiledAnswers, kCompiledTexts);
    return table;
}

NumberLookup::NumberLookup(const SegmentStore *segments)
    : NumberLookup(segments, &builtinNumbers())
{}

}  // namespace zuno::service
