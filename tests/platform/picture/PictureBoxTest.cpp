// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>

#include "platform/picture/PictureBox.h"

namespace tavrino {
namespace {

using Pixels = std::set<std::pair<int, int>>;
constexpr COLORREF kWhite = RGB(255, 255, 255);

Pixels PixelsOf(PictureBox& box, COLORREF color) {
    Pixels out;
    for (int y = 0; y < static_cast<int>(box.ScaleHeight()); ++y)
        for (int x = 0; x < static_cast<int>(box.ScaleWidth()); ++x)
            if (box.hDC().GetPixel(x, y) == color) out.insert({x, y});
    return out;
}

TEST(PictureBox, FillsAndLinesExcludeTheirFarEdges) {
    PictureBox box(12, 12);
    DeviceContext& dc = box.hDC();
    const COLORREF red = RGB(255, 0, 0);
    dc.FillRect(2, 3, 5, 4, red);
    dc.FillRect(5, 5, 2, 7, red);  // inverted: nothing
    EXPECT_EQ(PixelsOf(box, red), (Pixels{{2, 3}, {3, 3}, {4, 3}}));

    dc.MoveToEx(1, 1);
    dc.LineTo(5, 1);
    dc.LineTo(5, 1);  // to the current point: nothing
    EXPECT_EQ(PixelsOf(box, kWhite), (Pixels{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    box.Cls();
    dc.MoveToEx(0, 0);
    dc.LineTo(3, 6);  // steep: one pixel per row, halves toward the start
    EXPECT_EQ(PixelsOf(box, kWhite), (Pixels{{0, 0}, {0, 1}, {1, 2}, {1, 3}, {2, 4}, {2, 5}}));
    box.Cls();
    box.ForeColor(RGB(9, 8, 7));
    dc.MoveToEx(6, 3);
    dc.LineTo(2, 7);
    EXPECT_EQ(PixelsOf(box, RGB(9, 8, 7)), (Pixels{{6, 3}, {5, 4}, {4, 5}, {3, 6}}));
}

TEST(PictureBox, ClipsAnyCoordinates) {
    PictureBox box(6, 4);
    box.hDC().FillRect(INT32_MIN, INT32_MIN, INT32_MAX, 1, RGB(1, 1, 1));
    EXPECT_EQ(PixelsOf(box, RGB(1, 1, 1)).size(), 6u);
    box.hDC().MoveToEx(INT32_MIN, 2);
    box.hDC().LineTo(INT32_MAX, 2);  // finishes at once with the visible row
    box.hDC().MoveToEx(0, -1000);
    box.hDC().LineTo(0, 2);
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 6u + 2u);
    EXPECT_EQ(box.hDC().GetPixel(6, 0), CLR_INVALID);
    // A rectangle around everything, its sides far off the surface: the inside fills it.
    box.FillColor(RGB(0, 0, 128));
    box.hDC().Rectangle(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    EXPECT_EQ(PixelsOf(box, RGB(0, 0, 128)).size(), 6u * 4u);
    box.hDC().Rectangle(INT32_MAX, -1, INT32_MIN, 3);  // swapped; its bottom side is row 2
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 6u);
    PictureBox empty;
    empty.hDC().LineTo(5, 5);
    empty.hDC().Rectangle(0, 0, 5, 5);
    EXPECT_TRUE(empty.Image().isNull());
}

TEST(PictureBox, RectangleOutlinesWithPenAndFillsWithBrush) {
    PictureBox box(8, 6);
    box.FillColor(RGB(0, 0, 128));
    box.hDC().Rectangle(1, 1, 5, 5);
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 12u);  // the border of [1, 5) x [1, 5)
    EXPECT_EQ(box.hDC().GetPixel(4, 4), kWhite);
    EXPECT_EQ(PixelsOf(box, RGB(0, 0, 128)), (Pixels{{2, 2}, {3, 2}, {2, 3}, {3, 3}}));
    box.BackColor(RGB(1, 2, 3));  // clears
    box.FillStyle(FillStyle::Transparent);
    box.hDC().Rectangle(5, 4, 1, 1);  // corners swapped
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 10u);
    EXPECT_EQ(box.hDC().GetPixel(2, 2), RGB(1, 2, 3));
}

TEST(PictureBox, ResizeKeepsTheOverlapAndSignalsOncePerShow) {
    PictureBox box(4, 4);
    int calls = 0;
    box.OnChanged([&] { ++calls; });
    box.PSet(3, 3);
    box.hDC().LineTo(0, 3);
    box.hDC().FillRect(0, 0, 1, 1, RGB(5, 5, 5));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(box.ChangeCount(), 3u);
    box.MarkShown();
    box.Resize(6, 2);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(box.hDC().GetPixel(0, 0), RGB(5, 5, 5));
    EXPECT_EQ(box.hDC().GetPixel(5, 1), RGB(0, 0, 0));
    box.Resize(6, 4);
    EXPECT_EQ(box.hDC().GetPixel(3, 3), RGB(0, 0, 0));  // row 3 was cut off
    box.Resize(-2, 3);
    EXPECT_EQ(box.ScaleWidth(), 0.0f);
}

}  // namespace
}  // namespace tavrino
