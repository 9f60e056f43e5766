// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/StatusText.h"

namespace tavrino {
namespace {

TEST(FormatFileSize, LimitsOfEachUnit) {
    EXPECT_EQ(FormatFileSize(0), "0 bytes");
    EXPECT_EQ(FormatFileSize(1023), "1023 bytes");
    EXPECT_EQ(FormatFileSize(1024), "1 KB");
    EXPECT_EQ(FormatFileSize(1536), "2 KB");  // a half goes away from zero
    EXPECT_EQ(FormatFileSize(1048575), "1024 KB");
    EXPECT_EQ(FormatFileSize(1048576), "1.0 MB");
    EXPECT_EQ(FormatFileSize(1572864), "1.5 MB");
    EXPECT_EQ(FormatFileSize(1073741823), "1024.0 MB");
    EXPECT_EQ(FormatFileSize(1073741824), "1.0 GB");
    EXPECT_EQ(FormatFileSize(4294967295.0), "4.0 GB");
    EXPECT_EQ(FormatFileSize(-1), "");
}

TEST(FormatElapsed, MinutesAndPaddedSeconds) {
    EXPECT_EQ(FormatElapsed(0), "0:00");
    EXPECT_EQ(FormatElapsed(65432), "1:05");
    EXPECT_EQ(FormatElapsed(2500), "0:02");   // 2.5 s goes to the even 2
    EXPECT_EQ(FormatElapsed(3500), "0:04");
    EXPECT_EQ(FormatElapsed(59600), "1:00");  // rounds up into the next minute
    EXPECT_EQ(FormatElapsed(3600000), "60:00");
    EXPECT_EQ(FormatElapsed(2147483647), "35791:24");
    EXPECT_EQ(FormatElapsed(2500000000), "41666:40");  // 29 days: beyond 32-bit milliseconds
}

TEST(LinePeak, ChannelsAndTheNegativeLimit) {
    const std::vector<int16_t> stereo = {100, -200, -300, 50, 7, -32768};
    EXPECT_EQ(LinePeak(stereo, 0, 2), 300);
    EXPECT_EQ(LinePeak(stereo, 1, 2), 32768);  // -32768 counts as 32768
    EXPECT_EQ(LinePeak(stereo, 0, 1), 32768);
    EXPECT_EQ(LinePeak(stereo, 6, 2), 0);      // start beyond the buffer
    EXPECT_EQ(LinePeak(std::vector<int16_t>(8, 0), 0, 1), 0);
}

TEST(PeaksForMeters, EachChannelInStereoTheOneOnBothInMonoSilenceReadsOne) {
    const std::vector<int16_t> b = {100, -200, -300, 50};
    auto both = [](MeterPeaks p) { return std::pair(p.left, p.right); };
    EXPECT_EQ(both(PeaksForMeters(b, true)), std::pair(300, 200));
    EXPECT_EQ(both(PeaksForMeters(b, false)), std::pair(300, 300));
    const std::vector<int16_t> silence(8, 0);
    EXPECT_EQ(both(PeaksForMeters(silence, true)), std::pair(1, 1));
    EXPECT_EQ(both(PeaksForMeters(silence, false)), std::pair(1, 1));
}

}  // namespace
}  // namespace tavrino
