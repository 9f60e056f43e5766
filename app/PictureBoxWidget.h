// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A picture box on a window: shows a drawing surface (platform/picture) inside a sunken
// two-pixel border. The drawing code draws on Surface(); this widget only shows it. The
// surface's inner size follows the widget's size less the border.

#include <QWidget>

#include "platform/picture/PictureBox.h"

namespace tavrino {

class PictureBoxWidget : public QWidget {
public:
    static constexpr int kBorder = 2;  // pixels on each side

    explicit PictureBoxWidget(QWidget* parent = nullptr);

    PictureBox& Surface() noexcept { return surface_; }
    const PictureBox& Surface() const noexcept { return surface_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Where the picture is shown: inside the border, at the surface's size.
    QRect Inside() const;

    PictureBox surface_;
};

}  // namespace tavrino
