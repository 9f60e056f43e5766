// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Nearest.h"

#include <limits>

#include "core/Error.h"

namespace tavrino {
namespace {

template <typename Int, typename F>
Int NearestChecked(F value) {
    F r = RoundHalfEven(value);
    // NaN fails both comparisons and is refused with the out-of-range values.
    if (!(r >= static_cast<F>(std::numeric_limits<Int>::min()) &&
          r <= static_cast<F>(std::numeric_limits<Int>::max()))) {
        throw Error(kErrOverflow, "Overflow");
    }
    // float cannot hold 2^31 - 1 exactly: 2147483647.0f rounds up to 2^31.
    if (r == static_cast<F>(2147483648.0)) throw Error(kErrOverflow, "Overflow");
    return static_cast<Int>(r);
}

}  // namespace

int16_t NearestInt16(double value) { return NearestChecked<int16_t>(value); }
int32_t NearestInt32(double value) { return NearestChecked<int32_t>(value); }
int16_t NearestInt16(float value) { return NearestChecked<int16_t>(value); }
int32_t NearestInt32(float value) { return NearestChecked<int32_t>(value); }

}  // namespace tavrino
