// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/StatusText.h"

#include <cmath>
#include <cstdlib>

#include "core/Nearest.h"
#include "core/NumberFormat.h"

namespace tavrino {

std::string FormatFileSize(double size) {
    if (size < 0) return {};
    if (size <= 1023) return FormatNumber(size, "#########0") + " bytes";
    if (size <= 1048575) return FormatNumber(size / 1024, "###0") + " KB";
    if (size <= 1073741823) return FormatNumber(size / 1048576, "###0.0") + " MB";
    return FormatNumber(size / 1073741824, "###0.0") + " GB";
}

std::string FormatElapsed(int64_t ms) {
    const double seconds = RoundHalfEven(static_cast<double>(ms) / 1000.0);
    const auto whole = static_cast<int64_t>(seconds);
    const int64_t minutes = whole / 60;
    return std::to_string(minutes) + ":" + FormatNumber(static_cast<double>(whole % 60), "00");
}

int32_t LinePeak(std::span<const int16_t> buffer, int32_t start, int32_t step) {
    int32_t peak = 0;
    if (start < 0 || step < 1) return 0;
    for (size_t i = static_cast<size_t>(start); i < buffer.size(); i += static_cast<size_t>(step)) {
        const int32_t v = std::abs(static_cast<int32_t>(buffer[i]));
        if (v > peak) peak = v;
    }
    return peak;
}

std::string FormatTimeLeft(int64_t seconds) {
    if (seconds <= 0) return "0秒";
    const int64_t hours = seconds / 3600;
    const int64_t minutes = seconds % 3600 / 60;
    if (hours > 0) return std::to_string(hours) + "小时" + std::to_string(minutes) + "分";
    if (minutes > 0) return std::to_string(minutes) + "分";
    return std::to_string(seconds) + "秒";
}

MeterPeaks PeaksForMeters(std::span<const int16_t> buffer, bool stereo) {
    MeterPeaks p;
    if (stereo) {
        p.left = LinePeak(buffer, 0, 2);
        p.right = LinePeak(buffer, 1, 2);
    } else {
        p.left = p.right = LinePeak(buffer, 0, 1);
    }
    if (p.left == 0) p.left = 1;
    if (p.right == 0) p.right = 1;
    return p;
}

}  // namespace tavrino
