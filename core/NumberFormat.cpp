// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/NumberFormat.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavrino {

std::string FormatNumber(double value, std::string_view pattern) {
    // The pattern's shape: digits before the point that must show, digits after it.
    const size_t point = pattern.find('.');
    const std::string_view whole = pattern.substr(0, point);
    const size_t decimals = point == std::string_view::npos ? 0 : pattern.size() - point - 1;
    size_t minWhole = 0;
    for (char c : whole) minWhole += (c == '0');

    if (!std::isfinite(value)) return std::isnan(value) ? "NaN" : (value < 0 ? "-Inf" : "Inf");

    // 15 significant digits, as "d.dddddddddddddde±X".
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(value));
    std::string mantissa;
    for (const char* p = buf; *p && *p != 'e'; ++p)
        if (*p != '.') mantissa += *p;
    const int exponent = std::atoi(std::strchr(buf, 'e') + 1);

    // Digits as an integer string scaled by 10^decimals: place the decimal point.
    // value = 0.mantissa * 10^(exponent + 1)
    const long pointPos = exponent + 1 + static_cast<long>(decimals);  // digits kept before rounding
    std::string digits;  // kept digits
    int roundDigit = 0;
    if (pointPos <= 0) {
        digits = "0";
        roundDigit = pointPos == 0 ? mantissa[0] - '0' : 0;
    } else if (static_cast<size_t>(pointPos) >= mantissa.size()) {
        digits = mantissa + std::string(static_cast<size_t>(pointPos) - mantissa.size(), '0');
    } else {
        digits = mantissa.substr(0, static_cast<size_t>(pointPos));
        roundDigit = mantissa[static_cast<size_t>(pointPos)] - '0';
    }
    if (roundDigit >= 5) {  // halves away from zero
        size_t i = digits.size();
        while (i > 0) {
            --i;
            if (digits[i] == '9') {
                digits[i] = '0';
                if (i == 0) digits.insert(digits.begin(), '1');
            } else {
                ++digits[i];
                break;
            }
        }
    }
    // Pad so that there is at least one digit before the fraction, then split.
    if (digits.size() < decimals + 1) digits.insert(0, decimals + 1 - digits.size(), '0');
    std::string intPart = digits.substr(0, digits.size() - decimals);
    const std::string fracPart = digits.substr(digits.size() - decimals);
    size_t lead = 0;
    while (lead + 1 < intPart.size() && intPart[lead] == '0') ++lead;
    intPart.erase(0, lead);
    if (intPart == "0" && minWhole == 0) intPart.clear();
    if (intPart.size() < minWhole) intPart.insert(0, minWhole - intPart.size(), '0');

    std::string text = intPart;
    if (decimals > 0) text += "." + fracPart;
    const bool zero = digits.find_first_not_of('0') == std::string::npos;
    if (value < 0 && !zero) text = "-" + text;
    return text;
}

}  // namespace tavrino
