// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
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

std::vector<int16_t> Sine(double bin) {
    std::vector<int16_t> s(1024);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(std::lround(32000 * std::sin(2 * M_PI * bin * static_cast<double>(i) / 1024)));
    return s;
}

TEST(Draw, TraceOfConstantAndShortBuffers) {
    clsDraw draw;
    PictureBox box(50, 30);  // mid 15; -1 .. +1 map to rows 2 .. 28
    box.FillColor(RGB(0, 0, 90));
    // 600 samples: step nearest(599 / 50) = 12, 47 columns from the first 564 samples.
    std::vector<int16_t> loud(600, 32767);
    for (size_t i = 564; i < loud.size(); ++i) loud[i] = -32768;  // never read
    draw.DrawAmplitudes(loud, box);
    for (int x = 1; x <= 47; ++x) EXPECT_EQ(box.hDC().GetPixel(x, 28), kWhite) << x;
    for (int x = 2; x <= 46; ++x) EXPECT_EQ(RowsOf(box, x, kWhite), std::vector<int>{28}) << x;
    EXPECT_EQ(box.hDC().GetPixel(48, 15), kWhite);  // back on the centre line
    EXPECT_TRUE(RowsOf(box, 49, kWhite).empty());
    EXPECT_EQ(box.hDC().GetPixel(49, 29), kBlack);  // outline
    EXPECT_EQ(box.hDC().GetPixel(20, 5), RGB(0, 0, 90));

    draw.DrawAmplitudes(std::vector<int16_t>(600, -32768), box);  // clamped to -1: row 2
    EXPECT_EQ(RowsOf(box, 30, kWhite), std::vector<int>{2});
    EXPECT_EQ(box.hDC().GetPixel(20, 28), RGB(0, 0, 90));  // old trace erased

    // 30 samples: step 1, so only 30 of the 47 columns have samples; reading stops there.
    draw.DrawAmplitudes(std::vector<int16_t>(30, 32767), box);
    for (int x = 1; x <= 30; ++x) EXPECT_EQ(box.hDC().GetPixel(x, 28), kWhite) << x;
    EXPECT_EQ(box.hDC().GetPixel(31, 28), RGB(0, 0, 90));
    EXPECT_EQ(box.hDC().GetPixel(48, 15), kWhite);
    draw.DrawAmplitudes({}, box);  // no samples: the centre line alone
    for (int x = 0; x <= 48; ++x) EXPECT_EQ(RowsOf(box, x, kWhite), std::vector<int>{15}) << x;
    PictureBox none;
    draw.DrawAmplitudes(loud, none);
}

TEST(Draw, SpectrumBarsJumpUpAndCarryUpwards) {
    clsDraw draw;
    PictureBox box(103, 30);
    // A loud sine on bin 7 fills bins 6 .. 8 (bar 1) and bins 5 and 9 partly; bin 5 is no
    // bar's, so bar 0 stays dark.
    draw.DrawFrequencies(Sine(7), box);
    EXPECT_LT(draw.BarLevel(0), 0.01);
    EXPECT_EQ(draw.BarLevel(1), 1.0);
    auto factor = [](int j) { return ((1 - std::cos((j + 3) * 6.2831855 / 25)) * 0.5 + 1) / 3; };
    // Above, the bins are empty: each bar keeps its factor of the carried accumulator
    // (from bar 3 on; bar 2 carries bar 1's accumulator from before the clamp).
    for (int j = 3; j < 9; ++j) EXPECT_NEAR(draw.BarLevel(j) / draw.BarLevel(j - 1), factor(j), 2e-3) << j;

    // Bar b: x = 4b + 4 .. 4b + 6, rows from max(2, min(H, nearest(H - H level)) - 2) to
    // 27, colour RGB(255, nearest(255 level), 50).
    for (int b = 0; b < clsDraw::kBars; ++b) {
        const double level = draw.BarLevel(b);
        const COLORREF color = RGB(255, NearestInt32(level * 255), 50);
        std::vector<int> rows;
        for (int y = std::max(2, std::min(30, NearestInt32(30 - 30 * level)) - 2); y < 28; ++y) rows.push_back(y);
        for (int x = 4 * b + 3; x <= 4 * b + 7; ++x)
            EXPECT_EQ(RowsOf(box, x, color), x == 4 * b + 3 || x == 4 * b + 7 ? std::vector<int>{} : rows) << b;
    }
    EXPECT_EQ(RowsOf(box, 9, RGB(255, 255, 50)).size(), 26u);  // a full bar: rows 2 .. 27

    // On bin 10 (no bar's) the window's main lobe gives bins 9 and 11 full level and bins
    // 8 and 12 0.04 x 512 x 32000 / 256 / 32767 / 0.2 = 0.39: bar 1 gets 1.39 x factor.
    clsDraw between;
    between.DrawFrequencies(Sine(10), box);
    EXPECT_NEAR(between.BarLevel(1), factor(1) * (1 + 0.3906), 0.005);
    EXPECT_LT(between.BarLevel(0), 0.01);
}

TEST(Draw, SpectrumFallsByDecayAndIgnoresShortBuffers) {
    clsDraw draw;
    PictureBox box(103, 30);
    draw.DrawFrequencies(Sine(27), box);
    std::vector<double> level(clsDraw::kBars);
    for (int j = 0; j < clsDraw::kBars; ++j) level[static_cast<size_t>(j)] = draw.BarLevel(j);
    EXPECT_EQ(level[5], 1.0);

    const uint64_t changes = box.ChangeCount();
    draw.DrawFrequencies(std::vector<int16_t>(1023, 30000), box);  // too short: ignored
    EXPECT_EQ(box.ChangeCount(), changes);

    // Silence: every bar falls by 0.07 per call and none rises; all are empty after 15.
    for (int call = 1; call <= 15; ++call) {
        draw.DrawFrequencies(std::vector<int16_t>(5120, 0), box);
        for (int j = 0; j < clsDraw::kBars; ++j) {
            level[static_cast<size_t>(j)] = std::max(0.0, level[static_cast<size_t>(j)] - 0.07);
            EXPECT_DOUBLE_EQ(draw.BarLevel(j), level[static_cast<size_t>(j)]) << call << " " << j;
        }
    }
    EXPECT_EQ(RowsOf(box, 25, kBlack).size(), 30u);  // empty bars draw nothing

    // Only the first 1024 samples count.
    std::vector<int16_t> longer = Sine(27);
    longer.resize(5120, -32768);
    clsDraw other;
    other.DrawFrequencies(longer, box);
    draw.DrawFrequencies(Sine(27), box);
    for (int j = 0; j < clsDraw::kBars; ++j) EXPECT_EQ(other.BarLevel(j), draw.BarLevel(j));
}

// The display hands the spectrum the same buffer object every tick and refills it in
// place; each new filling must show, however little of it changed. Expected: every bar
// falls by the decay and rises to what a fresh spectrum of the new samples shows.
TEST(Draw, SpectrumTakesSamplesRefilledInPlace) {
    struct Row {
        const char* what;
        void (*refill)(std::vector<int16_t>&);
    };
    const Row rows[] = {
        {"another tone", [](std::vector<int16_t>& s) { s = Sine(27); }},
        {"one click in the middle", [](std::vector<int16_t>& s) { s[512] = 32767; }},
        {"the last quarter silenced", [](std::vector<int16_t>& s) { std::fill(s.begin() + 768, s.end(), 0); }},
    };
    for (const Row& row : rows) {
        PictureBox box(103, 30);
        clsDraw draw;
        std::vector<int16_t> buffer = Sine(7);
        draw.DrawFrequencies(buffer, box);
        row.refill(buffer);
        clsDraw fresh;
        fresh.DrawFrequencies(std::vector<int16_t>(buffer), box);
        for (int tick = 0; tick < 2; ++tick) {
            double expected[clsDraw::kBars];
            for (int j = 0; j < clsDraw::kBars; ++j)
                expected[j] = std::max({0.0, draw.BarLevel(j) - 0.07, fresh.BarLevel(j)});
            draw.DrawFrequencies(buffer, box);
            for (int j = 0; j < clsDraw::kBars; ++j)
                ASSERT_EQ(draw.BarLevel(j), expected[j]) << row.what << ", tick " << tick << ", bar " << j;
        }
    }
}

}  // namespace
}  // namespace tavrino
