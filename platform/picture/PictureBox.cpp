// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/picture/PictureBox.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tavrino {
namespace {

// COLORREF 0x00BBGGRR to the image's 0xFFRRGGBB and back.
inline QRgb ToPixel(COLORREF c) noexcept {
    return 0xFF000000u | ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu);
}
inline COLORREF FromPixel(QRgb p) noexcept {
    return ((p >> 16) & 0xFFu) | (p & 0xFF00u) | ((p & 0xFFu) << 16);
}

QImage BlankImage(int32_t width, int32_t height, COLORREF color) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == 0 || height == 0) return QImage();
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(ToPixel(color));
    return image;
}

__extension__ typedef __int128 Wide;

}  // namespace

// ---- DeviceContext -------------------------------------------------------------------

void DeviceContext::FillRect(int32_t left, int32_t top, int32_t right, int32_t bottom, COLORREF color) {
    const int32_t w = box_.image_.width();
    const int32_t h = box_.image_.height();
    box_.FillClipped(std::max(left, 0), std::max(top, 0), std::min(right, w), std::min(bottom, h), color);
}

void DeviceContext::MoveToEx(int32_t x, int32_t y) noexcept {
    x_ = x;
    y_ = y;
}

void DeviceContext::LineTo(int32_t x, int32_t y) {
    const int64_t x0 = x_;
    const int64_t y0 = y_;
    x_ = x;
    y_ = y;
    const int64_t dx = static_cast<int64_t>(x) - x0;
    const int64_t dy = static_cast<int64_t>(y) - y0;
    const int64_t adx = dx < 0 ? -dx : dx;
    const int64_t ady = dy < 0 ? -dy : dy;
    const int64_t n = std::max(adx, ady);  // pixels drawn, the end point excluded
    QImage& image = box_.image_;
    if (n == 0 || image.isNull()) return;

    const bool xMajor = adx >= ady;
    const int64_t p0 = xMajor ? x0 : y0;                      // major axis start
    const int64_t m0 = xMajor ? y0 : x0;                      // minor axis start
    const int64_t ps = (xMajor ? dx : dy) < 0 ? -1 : 1;       // major step
    const int64_t ms = (xMajor ? dy : dx) < 0 ? -1 : 1;       // minor step
    const int64_t a = xMajor ? ady : adx;                     // minor distance
    const int64_t majorExtent = xMajor ? image.width() : image.height();
    const int64_t minorExtent = xMajor ? image.height() : image.width();

    // Steps i whose major coordinate p0 + i * ps lies on the surface.
    int64_t iLo = 0;
    int64_t iHi = n;
    if (ps > 0) {
        iLo = std::max<int64_t>(iLo, -p0);
        iHi = std::min<int64_t>(iHi, majorExtent - p0);
    } else {
        iLo = std::max<int64_t>(iLo, p0 - majorExtent + 1);
        iHi = std::min<int64_t>(iHi, p0 + 1);
    }
    if (iLo >= iHi) return;

    // Minor offset of step i: q = floor((2 i a + n - 1) / 2n), i.e. i a / n rounded with
    // halves toward the start; r is the remainder, carried from step to step.
    const int64_t twoN = 2 * n;
    const Wide num = static_cast<Wide>(2) * iLo * a + n - 1;
    int64_t q = static_cast<int64_t>(num / twoN);
    int64_t r = static_cast<int64_t>(num % twoN);

    const QRgb pixel = ToPixel(box_.foreColor_);
    uchar* bits = image.bits();
    const int64_t bpl = image.bytesPerLine();
    for (int64_t i = iLo; i < iHi; ++i) {
        const int64_t p = p0 + i * ps;
        const int64_t m = m0 + q * ms;
        if (m >= 0 && m < minorExtent) {
            const int64_t px = xMajor ? p : m;
            const int64_t py = xMajor ? m : p;
            reinterpret_cast<QRgb*>(bits + py * bpl)[px] = pixel;
        }
        r += 2 * a;
        if (r >= twoN) {
            r -= twoN;
            ++q;
        }
    }
    box_.Touched();
}

void DeviceContext::Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    if (left > right) std::swap(left, right);
    if (top > bottom) std::swap(top, bottom);
    if (left == right || top == bottom) return;
    // Inside first, then the outline over its border pixels. Width and height in 64 bits:
    // corners far outside the surface may be more than INT32_MAX apart.
    const int64_t width = static_cast<int64_t>(right) - left;
    const int64_t height = static_cast<int64_t>(bottom) - top;
    if (box_.fillStyle_ == tavrino::FillStyle::Solid && width > 2 && height > 2) {
        FillRect(left + 1, top + 1, right - 1, bottom - 1, box_.fillColor_);
    }
    const COLORREF pen = box_.foreColor_;
    FillRect(left, top, right, top + 1, pen);
    FillRect(left, bottom - 1, right, bottom, pen);
    FillRect(left, top, left + 1, bottom, pen);
    FillRect(right - 1, top, right, bottom, pen);
}

void DeviceContext::SetPixel(int32_t x, int32_t y, COLORREF color) {
    if (x < 0 || y < 0 || x >= box_.image_.width() || y >= box_.image_.height()) return;
    box_.FillClipped(x, y, x + 1, y + 1, color);
}

COLORREF DeviceContext::GetPixel(int32_t x, int32_t y) const {
    const QImage& image = box_.image_;
    if (x < 0 || y < 0 || x >= image.width() || y >= image.height()) return CLR_INVALID;
    return FromPixel(reinterpret_cast<const QRgb*>(image.constScanLine(y))[x]);
}

// ---- PictureBox ----------------------------------------------------------------------

PictureBox::PictureBox(int32_t width, int32_t height) { image_ = BlankImage(width, height, backColor_); }

void PictureBox::Resize(int32_t width, int32_t height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == image_.width() && height == image_.height()) return;
    QImage next = BlankImage(width, height, backColor_);
    const int32_t keepW = next.isNull() ? 0 : std::min(width, static_cast<int32_t>(image_.width()));
    const int32_t keepH = next.isNull() ? 0 : std::min(height, static_cast<int32_t>(image_.height()));
    for (int32_t y = 0; y < keepH; ++y) {
        std::memcpy(next.scanLine(y), image_.constScanLine(y), static_cast<size_t>(keepW) * sizeof(QRgb));
    }
    image_ = std::move(next);
    Touched();
}

void PictureBox::BackColor(COLORREF color) {
    backColor_ = color & 0xFFFFFFu;
    Cls();
}

void PictureBox::Cls() {
    dc_.MoveToEx(0, 0);
    FillClipped(0, 0, image_.width(), image_.height(), backColor_);
}

void PictureBox::PSet(int32_t x, int32_t y) {
    dc_.SetPixel(x, y, foreColor_);
    dc_.MoveToEx(x, y);
}

bool PictureBox::TakePicture(const PictureBox& from) {
    if (image_ == from.image_) return false;
    if (image_.size() == from.image_.size() && image_.bytesPerLine() == from.image_.bytesPerLine()) {
        // Into this surface's own pixels: a shared image would cost the drawer a fresh copy
        // at its next stroke.
        std::memcpy(image_.bits(), from.image_.constBits(), static_cast<size_t>(image_.sizeInBytes()));
    } else {
        image_ = from.image_;
    }
    Touched();
    return true;
}

void PictureBox::Touched() {
    ++changeCount_;
    if (pending_) return;
    pending_ = true;
    if (changed_) changed_();
}

void PictureBox::FillClipped(int32_t x0, int32_t y0, int32_t x1, int32_t y1, COLORREF color) {
    if (x0 >= x1 || y0 >= y1 || image_.isNull()) return;
    const QRgb pixel = ToPixel(color);
    uchar* bits = image_.bits();
    const qsizetype bpl = image_.bytesPerLine();
    for (int32_t y = y0; y < y1; ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(bits + y * bpl);
        std::fill(row + x0, row + x1, pixel);
    }
    Touched();
}

}  // namespace tavrino
