// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Number texts with the window toolkit's format patterns.
//
// A pattern is digits '#' (optional) and '0' (always shown), an optional '.' followed by
// the fraction's digits: "###0" (a whole number), "###0.0" (one decimal), "00" (at least
// two digits). The value is first taken to 15 significant decimal digits, as the toolkit
// does, then rounded to the pattern's decimals with halves away from zero:
// 1.5 with "###0" gives "2", 1.25 with "###0.0" gives "1.3", 5 with "00" gives "05".
// No thousands separator; the decimal point is '.'. A negative value that rounds to zero
// is written without its sign.

#include <string>
#include <string_view>

namespace tavrino {

std::string FormatNumber(double value, std::string_view pattern);

}  // namespace tavrino
