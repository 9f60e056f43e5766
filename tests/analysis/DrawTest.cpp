#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/clsDraw.h"
#include "core/Nearest.h"

namespace tavrino {
namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// Rows of column x that hold the colour.
std::vector<int> RowsOf(PictureBox& box, int x, COLORREF color) {
    std::vector<int> rows;
    for (int y = 0; y < static_cast<int>(box.ScaleHeight()); ++y)
        if (box.hDC().GetPixel(x, y) == color) rows.push_back(y);
    return rows;
}

std::vector<int16_t> Sine(size_t count, double bin, double amplitude) {
    std::vector<int16_t> s(count);
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * bin * static_cast<double>(i) / 1024)));
    return s;
}

TEST(Draw, DrawRectFillsWithoutRightAndBottom) {
    PictureBox box(20, 10);
    clsDraw draw;
    draw.DrawRect(box.hDC(), 0, 0, 5, 10, RGB(0, 255, 0));
    EXPECT_EQ(box.hDC().GetPixel(4, 9), RGB(0, 255, 0));
    EXPECT_EQ(box.hDC().GetPixel(5, 9), kBlack);
}

TEST(Draw, TraceOfConstantBuffers) {
    clsDraw draw;
    PictureBox box(50, 30);  // mid 15, rows 2 .. 28 for -1 .. +1
    box.FillColor(RGB(0, 0, 90));
    // 600 samples: step nearest(599 / 50) = 12, 47 columns from the first 564 samples.
    std::vector<int16_t> loud(600, 32767);
    for (size_t i = 564; i < loud.size(); ++i) loud[i] = -32768;  // never read
    draw.DrawAmplitudes(loud, box);
    for (int x = 1; x <= 47; ++x) EXPECT_EQ(box.hDC().GetPixel(x, 28), kWhite) << x;
    EXPECT_EQ(box.hDC().GetPixel(48, 15), kWhite);  // back on the centre line
    EXPECT_EQ(RowsOf(box, 49, kWhite), std::vector<int>{});
    // The black outline and the fill brush erase what was there.
    EXPECT_EQ(box.hDC().GetPixel(0, 0), kBlack);
    EXPECT_EQ(box.hDC().GetPixel(49, 29), kBlack);
    EXPECT_EQ(box.hDC().GetPixel(20, 5), RGB(0, 0, 90));

    std::vector<int16_t> low(600, -32768);
    draw.DrawAmplitudes(low, box);
    EXPECT_TRUE(RowsOf(box, 30, kWhite) == std::vector<int>{2});
    EXPECT_TRUE(RowsOf(box, 10, kWhite) == std::vector<int>{2});
    EXPECT_EQ(box.hDC().GetPixel(20, 28), RGB(0, 0, 90));  // old trace gone
    EXPECT_EQ(box.ForeColor(), kWhite);
}

TEST(Draw, TraceOfShortBuffersStopsAtTheEnd) {
    clsDraw draw;
    PictureBox box(50, 30);
    // 30 samples: step nearest(29 / 50) = 1, so only 30 of the 47 columns have samples.
    std::vector<int16_t> shortBuffer(30, 32767);
    draw.DrawAmplitudes(shortBuffer, box);
    for (int x = 1; x <= 30; ++x) EXPECT_EQ(box.hDC().GetPixel(x, 28), kWhite) << x;
    EXPECT_EQ(box.hDC().GetPixel(48, 15), kWhite);
    EXPECT_EQ(box.hDC().GetPixel(49, 15), kBlack);

    // No samples at all: the centre line only.
    draw.DrawAmplitudes({}, box);
    for (int x = 0; x <= 48; ++x) EXPECT_EQ(RowsOf(box, x, kWhite), std::vector<int>{15}) << x;

    // Too small a box for any column, and an empty box: no failure.
    PictureBox tiny(3, 2);
    draw.DrawAmplitudes(shortBuffer, tiny);
    EXPECT_EQ(tiny.hDC().GetPixel(0, 1), kWhite);
    PictureBox none;
    draw.DrawAmplitudes(shortBuffer, none);
}

TEST(Draw, SpectrumBarsJumpUpAndCarryUpwards) {
    clsDraw draw;
    PictureBox box(103, 30);
    // A loud sine on bin 7 fills bins 6 .. 8 (bar 1) and 5, 9 partly; bin 5 is no bar's,
    // so bar 0 stays dark.
    draw.DrawFrequencies(Sine(1024, 7, 32000), box);
    EXPECT_LT(draw.BarLevel(0), 0.01);
    EXPECT_EQ(draw.BarLevel(1), 1.0);
    // Above it the bins are empty and each bar from 3 on (bar 2 carries bar 1's
    // accumulator before clamping) keeps (HannWeight(j + 3, 25) + 1) / 3 of
    // the carried accumulator.
    for (int j = 3; j < 9; ++j) {
        const double factor = ((1 - std::cos((j + 3) * 6.2831855 / 25)) * 0.5 + 1) / 3;
        EXPECT_NEAR(draw.BarLevel(j) / draw.BarLevel(j - 1), factor, 2e-3) << j;
    }

    // Bars: 3 pixels wide from x = 4b + 4, top max(2, min(H, nearest(H - H level)) - 2),
    // bottom 28 excluded, green growing with the level.
    for (int b = 0; b < clsDraw::kBars; ++b) {
        const double level = draw.BarLevel(b);
        const int top = std::max(2, std::min(30, NearestInt32(30 - 30 * level)) - 2);
        const COLORREF color = RGB(255, NearestInt32(level * 255), 50);
        std::vector<int> rows;
        for (int y = top; y < 28; ++y) rows.push_back(y);
        for (int x = 4 * b + 3; x <= 4 * b + 7; ++x) {
            const bool inBar = x >= 4 * b + 4 && x <= 4 * b + 6;
            EXPECT_EQ(RowsOf(box, x, color), inBar ? rows : std::vector<int>{}) << "bar " << b << " x " << x;
        }
    }
    EXPECT_EQ(RowsOf(box, 9, RGB(255, 255, 50)).size(), 26u);  // a full bar: y = 2 .. 27

    // On bin 10 (no bar's) the main lobe of the window puts full level on bins 9 and 11
    // and 0.04 x 512 x 32000 / 256 / 32767 / 0.2 = 0.39 on bins 8 and 12: bar 1 (bins
    // 6 .. 9) gets 1.39 times its factor.
    clsDraw between;
    between.DrawFrequencies(Sine(1024, 10, 32000), box);
    const double factor1 = ((1 - std::cos(4 * 6.2831855 / 25)) * 0.5 + 1) / 3;
    EXPECT_NEAR(between.BarLevel(1), factor1 * (1 + 0.3906), 0.005);
    EXPECT_LT(between.BarLevel(0), 0.01);
}

TEST(Draw, SpectrumFallsByDecayAndIgnoresShortBuffers) {
    clsDraw draw;
    PictureBox box(103, 30);
    draw.DrawFrequencies(Sine(1024, 27, 32000), box);
    std::vector<double> before(clsDraw::kBars);
    for (int j = 0; j < clsDraw::kBars; ++j) before[static_cast<size_t>(j)] = draw.BarLevel(j);
    EXPECT_EQ(before[5], 1.0);

    // 1023 samples: no change to the picture or the levels.
    const uint64_t changes = box.ChangeCount();
    draw.DrawFrequencies(std::vector<int16_t>(1023, 30000), box);
    EXPECT_EQ(box.ChangeCount(), changes);
    for (int j = 0; j < clsDraw::kBars; ++j) EXPECT_EQ(draw.BarLevel(j), before[static_cast<size_t>(j)]);

    // Silence: every bar falls by 0.07 per call, none rises; a full bar is gone after 15.
    const std::vector<int16_t> silence(5120, 0);
    for (int call = 1; call <= 15; ++call) {
        draw.DrawFrequencies(silence, box);
        for (int j = 0; j < clsDraw::kBars; ++j) {
            double& level = before[static_cast<size_t>(j)];
            level = std::max(0.0, level - 0.07);
            EXPECT_DOUBLE_EQ(draw.BarLevel(j), level) << "call " << call << " bar " << j;
        }
    }
    EXPECT_EQ(draw.BarLevel(5), 0.0);
    EXPECT_EQ(RowsOf(box, 25, kBlack).size(), 30u);  // empty bars draw nothing

    // Only the first 1024 samples count.
    clsDraw other;
    std::vector<int16_t> longer = Sine(1024, 27, 32000);
    longer.resize(5120, -32768);
    other.DrawFrequencies(longer, box);
    draw.DrawFrequencies(Sine(1024, 27, 32000), box);
    for (int j = 0; j < clsDraw::kBars; ++j) EXPECT_EQ(other.BarLevel(j), draw.BarLevel(j));
}

}  // namespace
}  // namespace tavrino
