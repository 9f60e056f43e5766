// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The check every float property of the effects makes before it changes anything: NaN or
// an infinity would spread through the filter and phaser state into every later sample,
// so such a write is refused with Error 32000 "invalid value".

#include <cmath>

#include "core/Error.h"

namespace tavrino {

inline void RequireFinite(float value) {
    if (!std::isfinite(value)) throw Error(32000, "invalid value");
}

}  // namespace tavrino
