// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Texts and levels of the status display: file size, recorded time, channel peaks.

#include <cstdint>
#include <span>
#include <string>

namespace tavrino {

// "1023 bytes", "2 KB", "1.5 MB", "1.0 GB"; empty for a negative size. The limits are
// 1023 and 2^30 - 1; the fractions round halves away from zero.
std::string FormatFileSize(double size);

// "m:ss": seconds = ms / 1000 to the nearest (ties to even), minutes truncated, any number
// of minute digits (65432 ms -> "1:05", 3600000 ms -> "60:00").
std::string FormatElapsed(int64_t ms);

// Time left as the disk's space shows it: "3小时12分", "12分", "45秒" (whole units,
// truncated); "0秒" for nothing or less.
std::string FormatTimeLeft(int64_t seconds);

// The largest absolute value among buffer[start], buffer[start + step], ... as a 32-bit
// value (-32768 counts 32768); 0 when start lies beyond the buffer. step must be >= 1.
int32_t LinePeak(std::span<const int16_t> buffer, int32_t start, int32_t step);

// The peaks the left and right level meters take from one buffer: in stereo each channel's
// own, in mono the one channel's on both. Silence reads 1, never 0.
struct MeterPeaks {
    int32_t left = 1;
    int32_t right = 1;
};
MeterPeaks PeaksForMeters(std::span<const int16_t> buffer, bool stereo);

}  // namespace tavrino
