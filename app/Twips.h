// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The windows are laid out in twips, as their designs give them; on screen one pixel is 15
// twips (a fixed 96 dpi layout).

#include <QWidget>

namespace tavrino {

inline constexpr int kTwipsPerPixel = 15;

constexpr int Px(int twips) { return twips / kTwipsPerPixel; }

// Places a widget at a rectangle given in twips; returns it.
template <typename W>
W* Place(W* widget, int left, int top, int width, int height) {
    widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
    return widget;
}

}  // namespace tavrino
