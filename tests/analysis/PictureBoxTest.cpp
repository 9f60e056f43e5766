#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "platform/picture/PictureBox.h"

namespace tavrino {
namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// The pixels of a colour, as (x, y) pairs.
std::set<std::pair<int, int>> PixelsOf(PictureBox& box, COLORREF color) {
    std::set<std::pair<int, int>> out;
    for (int y = 0; y < static_cast<int>(box.ScaleHeight()); ++y)
        for (int x = 0; x < static_cast<int>(box.ScaleWidth()); ++x)
            if (box.hDC().GetPixel(x, y) == color) out.insert({x, y});
    return out;
}

TEST(PictureBox, FillRectExcludesRightAndBottom) {
    PictureBox box(10, 8);
    EXPECT_EQ(box.ScaleWidth(), 10.0f);
    EXPECT_EQ(box.ScaleHeight(), 8.0f);
    const COLORREF red = RGB(255, 0, 0);
    box.hDC().FillRect(2, 3, 5, 4, red);
    EXPECT_EQ(PixelsOf(box, red), (std::set<std::pair<int, int>>{{2, 3}, {3, 3}, {4, 3}}));
    // Inverted and empty rectangles fill nothing; far-off corners are clipped.
    box.hDC().FillRect(5, 5, 2, 7, kWhite);
    box.hDC().FillRect(4, 4, 4, 6, kWhite);
    EXPECT_TRUE(PixelsOf(box, kWhite).empty());
    box.hDC().FillRect(INT32_MIN, INT32_MIN, INT32_MAX, 1, kWhite);
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 10u);
    EXPECT_EQ(box.hDC().GetPixel(10, 0), CLR_INVALID);
    EXPECT_EQ(box.hDC().GetPixel(-1, 0), CLR_INVALID);
}

TEST(PictureBox, LinesExcludeTheirLastPoint) {
    PictureBox box(12, 12);
    DeviceContext& dc = box.hDC();
    dc.MoveToEx(1, 1);
    dc.LineTo(5, 1);  // horizontal: x 1..4
    dc.LineTo(5, 1);  // to the current point: nothing
    EXPECT_EQ(PixelsOf(box, kWhite), (std::set<std::pair<int, int>>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    EXPECT_EQ(dc.CurrentX(), 5);

    box.Cls();
    dc.MoveToEx(0, 0);
    dc.LineTo(3, 6);  // steep: one pixel per row, halves toward the start
    EXPECT_EQ(PixelsOf(box, kWhite),
              (std::set<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 2}, {1, 3}, {2, 4}, {2, 5}}));

    box.Cls();
    box.ForeColor(RGB(9, 8, 7));
    dc.MoveToEx(6, 3);
    dc.LineTo(2, 7);  // diagonal backwards
    EXPECT_EQ(PixelsOf(box, RGB(9, 8, 7)), (std::set<std::pair<int, int>>{{6, 3}, {5, 4}, {4, 5}, {3, 6}}));
}

TEST(PictureBox, LinesFarOutsideAreClipped) {
    PictureBox box(6, 4);
    box.hDC().MoveToEx(INT32_MIN, 2);
    box.hDC().LineTo(INT32_MAX, 2);  // finishes at once, draws the visible row
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 6u);
    box.Cls();
    // A steep line entering from above: the same pixels as drawing it from the edge.
    box.hDC().MoveToEx(0, -1000);
    box.hDC().LineTo(0, 2);
    EXPECT_EQ(PixelsOf(box, kWhite), (std::set<std::pair<int, int>>{{0, 0}, {0, 1}}));
    PictureBox empty;
    empty.hDC().LineTo(5, 5);
    empty.hDC().Rectangle(0, 0, 5, 5);
    empty.Cls();
    EXPECT_TRUE(empty.Image().isNull());
}

TEST(PictureBox, RectangleOutlinesWithPenAndFillsWithBrush) {
    PictureBox box(8, 6);
    const COLORREF fill = RGB(0, 0, 128);
    box.FillColor(fill);
    box.ForeColor(kWhite);
    box.hDC().Rectangle(1, 1, 5, 5);
    auto outline = PixelsOf(box, kWhite);
    EXPECT_EQ(outline.size(), 12u);  // the border of [1, 5) x [1, 5)
    EXPECT_TRUE(outline.count({4, 4}) && outline.count({1, 4}) && !outline.count({5, 5}));
    EXPECT_EQ(PixelsOf(box, fill), (std::set<std::pair<int, int>>{{2, 2}, {3, 2}, {2, 3}, {3, 3}}));

    box.BackColor(RGB(1, 2, 3));  // clears
    box.FillStyle(FillStyle::Transparent);
    box.hDC().Rectangle(5, 4, 1, 1);  // corners swapped
    EXPECT_EQ(PixelsOf(box, kWhite).size(), 10u);
    EXPECT_EQ(box.hDC().GetPixel(2, 2), RGB(1, 2, 3));
}

TEST(PictureBox, ResizeKeepsTheOverlapAndSignalsChanges) {
    PictureBox box(4, 4);
    int calls = 0;
    box.OnChanged([&] { ++calls; });
    box.PSet(3, 3);
    EXPECT_EQ(box.hDC().CurrentX(), 3);
    box.hDC().LineTo(0, 3);
    box.hDC().FillRect(0, 0, 1, 1, RGB(5, 5, 5));
    EXPECT_EQ(calls, 1);  // one request until the picture is shown
    EXPECT_GE(box.ChangeCount(), 3u);
    box.MarkShown();

    box.Resize(6, 2);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(box.Image().width(), 6);
    EXPECT_EQ(box.hDC().GetPixel(0, 0), RGB(5, 5, 5));
    EXPECT_EQ(box.hDC().GetPixel(5, 1), kBlack);
    box.Resize(6, 4);
    EXPECT_EQ(box.hDC().GetPixel(3, 3), kBlack);  // the old row 3 was cut off
    box.Resize(-2, 3);
    EXPECT_TRUE(box.Image().isNull());
    EXPECT_EQ(box.ScaleWidth(), 0.0f);
}

}  // namespace
}  // namespace tavrino
