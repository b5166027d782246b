// SPDX-License-Identifier: Apache-2.0
#include "form1_layout.h"

namespace zuno {

int twipsToPixels(int twips, int dpi)
{
    const long long scaled = static_cast<long long>(twips) * dpi;
    const long long half = kTwipsPerInch / 2;
    return static_cast<int>(scaled >= 0 ? (scaled + half) / kTwipsPerInch
                                        : -((-scaled + half) / kTwipsPerInch));
}

const FormControl *form1Control(std::string_view name)
{
    for (const FormControl &control : kForm1Controls) {
        if (control.name == name)
            return &control;
    }
    return nullptr;
}

}  // namespace zuno
