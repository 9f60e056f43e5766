// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "analysis/clsSmooth.h"
#include "analysis/modDraw.h"
#include "core/Error.h"

namespace tavrino {
namespace {

TEST(Smooth, MeanOfTheLastValues) {
    clsSmooth s;
    EXPECT_THROW(s.SmoothAdd(1.0f), Error);  // no room before SmoothNew
    EXPECT_THROW(s.SmoothNew(0), Error);
    s.SmoothNew(3);
    EXPECT_EQ(s.SmoothGetMax(), 0.0f);  // nothing added yet: 0, not 0 / 0
    const float expected[] = {3.0f, 4.5f, 6.0f, 9.0f, 12.0f};
    for (int i = 0; i < 5; ++i) {
        s.SmoothAdd(3.0f * static_cast<float>(i + 1));
        EXPECT_FLOAT_EQ(s.SmoothGetMax(), expected[i]) << "after value " << i + 1;
    }
    s.SmoothNew(2);  // forgets everything
    EXPECT_EQ(s.SmoothGetMax(), 0.0f);
    for (float v : {1.0f, 32768.0f, 5.0f}) s.SmoothAdd(v);
    EXPECT_FLOAT_EQ(s.SmoothGetMax(), (32768.0f + 5.0f) / 2.0f);
}

TEST(Gradient, ThreeStopsAndTruncatingSplit) {
    const SplitRGB c = SplitColor(-13312);
    EXPECT_EQ(c.red + c.blue, 0.0f);
    EXPECT_EQ(c.green, 204.0f);

    const int32_t low = 65280, middle = 2271457, high = 255;  // the meter colours
    EXPECT_EQ(GradientColor(1.0f, 0.25f, low, middle, high), RGB(112, 212, 17));  // halves to even
    EXPECT_EQ(GradientColor(1.0f, 0.0f, low, middle, high), RGB(0, 255, 0));
    EXPECT_EQ(GradientColor(1.0f, 0.5f, low, middle, high), RGB(225, 168, 34));
    EXPECT_EQ(GradientColor(1.0f, 0.75f, low, middle, high), RGB(240, 84, 17));
    EXPECT_EQ(GradientColor(1.0f, 1.0f, low, middle, high), RGB(255, 0, 0));
    // The equalizer curve's third stop -13312 is green 204, not blue 255.
    EXPECT_EQ(GradientColor(100.0f, 100.0f, RGB(188, 34, 1), RGB(225, 168, 34), -13312), RGB(0, 204, 0));
    // Outside the range: clamped to 0 .. 255; a zero-length gradient still gives a colour.
    EXPECT_EQ(GradientColor(1.0f, 2.0f, low, middle, high), RGB(255, 0, 0));
    EXPECT_EQ(GradientColor(1.0f, -1.0f, low, middle, high), RGB(0, 255, 0));
    EXPECT_EQ(GradientColor(0.0f, 0.0f, low, middle, high), RGB(225, 168, 34));
}

}  // namespace
}  // namespace tavrino
