// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The picture box: a drawing surface in pixels backed by a QImage, with the GDI drawing
// calls that the level meters, the amplitude trace, the spectrum and the equalizer curve
// use. The drawing code draws on a PictureBox without any widget; the application's
// picture-box widget only shows the surface's image.
//
// Pixel rules (those of GDI with a one-pixel cosmetic pen, so that pictures come out
// pixel for pixel as on the original platform):
// - FillRect fills [left, right) x [top, bottom): the right column and the bottom row
//   are excluded. An empty or inverted rectangle fills nothing.
// - LineTo draws from the current position to (x, y) with the pen (ForeColor), one pixel
//   wide, and excludes the last point; the current position becomes (x, y). A line to the
//   current position draws nothing. Along the major axis every pixel is drawn once; the
//   minor coordinate of step i of n is round(i * d / n) with exact halves rounded toward
//   the start point.
// - Rectangle outlines [left, right) x [top, bottom) with the pen and fills the inside
//   with the fill brush (FillColor when FillStyle is Solid, nothing when Transparent).
//   Reversed corners are swapped first; an empty rectangle draws nothing.
// - Everything is clipped to the surface: coordinates outside it are valid and simply
//   draw nothing there, however large they are.
// Colours are 0x00BBGGRR values (platform/picture/Colour.h); brushes are plain colours
// here, so there is nothing to create or delete.
//
// Drawing is always persistent: the image is the picture, so a covered widget repaints
// from it (the "persistent drawing" of a picture box is always on).
//
// Threads: a surface belongs to the user-interface thread; nothing in it is locked.

#include <QImage>

#include <cstdint>
#include <functional>

#include "platform/picture/Colour.h"

namespace tavrino {

class PictureBox;

// GetPixel's answer for a point outside the surface.
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;

// The device context of one picture box (its hDC): GDI calls on the box's image. The
// pen colour is the box's ForeColor and the brush of Rectangle is the box's fill. It
// lives as long as its box and cannot be copied.
class DeviceContext {
public:
    DeviceContext(const DeviceContext&) = delete;
    DeviceContext& operator=(const DeviceContext&) = delete;

    // Fills [left, right) x [top, bottom) with a solid colour.
    void FillRect(int32_t left, int32_t top, int32_t right, int32_t bottom, COLORREF color);
    // Moves the current position without drawing.
    void MoveToEx(int32_t x, int32_t y) noexcept;
    // Draws a pen line from the current position to (x, y), the last point excluded.
    void LineTo(int32_t x, int32_t y);
    // Outline in the pen colour, inside in the fill brush (see the rules above).
    void Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom);
    // Sets one pixel; outside the surface it does nothing.
    void SetPixel(int32_t x, int32_t y, COLORREF color);
    // The colour of one pixel, or CLR_INVALID outside the surface.
    COLORREF GetPixel(int32_t x, int32_t y) const;

    int32_t CurrentX() const noexcept { return x_; }
    int32_t CurrentY() const noexcept { return y_; }

private:
    friend class PictureBox;
    explicit DeviceContext(PictureBox& box) : box_(box) {}

    PictureBox& box_;
    int32_t x_ = 0;  // current position, pixels
    int32_t y_ = 0;
};

// How Rectangle fills its inside (the values of a picture box's FillStyle).
enum class FillStyle : int32_t { Solid = 0, Transparent = 1 };

// A picture box's drawing surface. Defaults: black background, white pen, solid black
// fill, so that a Rectangle over the whole box erases it (the amplitude trace relies on
// that to clear its old picture).
class PictureBox {
public:
    // A surface of width x height pixels, cleared to the background colour. Negative
    // sizes count as 0.
    explicit PictureBox(int32_t width = 0, int32_t height = 0);
    PictureBox(const PictureBox&) = delete;
    PictureBox& operator=(const PictureBox&) = delete;

    // Inner size in pixels.
    float ScaleWidth() const noexcept { return static_cast<float>(image_.width()); }
    float ScaleHeight() const noexcept { return static_cast<float>(image_.height()); }

    // Gives the surface a new inner size (the widget calls this with its inner size when
    // it is resized). The part of the old picture that fits is kept; new area takes the
    // background colour. Negative sizes count as 0.
    void Resize(int32_t width, int32_t height);

    // The device context for GDI drawing on this box.
    DeviceContext& hDC() noexcept { return dc_; }

    // Pen colour of lines and outlines.
    COLORREF ForeColor() const noexcept { return foreColor_; }
    void ForeColor(COLORREF color) noexcept { foreColor_ = color & 0xFFFFFFu; }

    // Background colour. Writing it also clears the box to the new colour, as a picture
    // box does.
    COLORREF BackColor() const noexcept { return backColor_; }
    void BackColor(COLORREF color);

    // The fill brush of Rectangle.
    COLORREF FillColor() const noexcept { return fillColor_; }
    void FillColor(COLORREF color) noexcept { fillColor_ = color & 0xFFFFFFu; }
    tavrino::FillStyle FillStyle() const noexcept { return fillStyle_; }
    void FillStyle(tavrino::FillStyle style) noexcept { fillStyle_ = style; }

    // Clears the whole surface to the background colour; the current position returns
    // to (0, 0).
    void Cls();

    // Sets the pixel (x, y) in the pen colour and makes it the current position.
    void PSet(int32_t x, int32_t y);

    // The picture, for showing. Format_RGB32; empty (null) while either size is 0.
    const QImage& Image() const noexcept { return image_; }

    // Takes the picture of `from` (its size too) when it differs from this one in any
    // pixel; true when it did, and the change is then signalled as drawing signals it. A
    // picture drawn aside and handed over this way costs the widget a repaint only when
    // something on it changed.
    bool TakePicture(const PictureBox& from);

    // Repaint signalling for the widget that shows the surface.
    // ChangeCount grows with every call that may have changed the picture (drawing,
    // Cls, Resize, BackColor). The handler given to OnChanged is called, on the drawing
    // thread, when the picture changes while no change is pending; the change then stays
    // pending (and the handler silent) until MarkShown. A widget typically calls
    // update() in the handler and MarkShown() in its paint event, so a tick that draws a
    // hundred lines costs one repaint request.
    uint64_t ChangeCount() const noexcept { return changeCount_; }
    void OnChanged(std::function<void()> handler) { changed_ = std::move(handler); }
    void MarkShown() noexcept { pending_ = false; }

private:
    friend class DeviceContext;

    // Records a change and calls the handler if no change was pending.
    void Touched();
    // Fills [x0, x1) x [y0, y1), already clipped, with a colour.
    void FillClipped(int32_t x0, int32_t y0, int32_t x1, int32_t y1, COLORREF color);

    QImage image_;
    DeviceContext dc_{*this};
    COLORREF foreColor_ = 0xFFFFFFu;
    COLORREF backColor_ = 0x000000u;
    COLORREF fillColor_ = 0x000000u;
    tavrino::FillStyle fillStyle_ = tavrino::FillStyle::Solid;
    uint64_t changeCount_ = 0;
    bool pending_ = false;
    std::function<void()> changed_;
};

}  // namespace tavrino
