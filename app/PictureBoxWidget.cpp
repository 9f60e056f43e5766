// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PictureBoxWidget.h"

#include <QPaintEvent>
#include <QPainter>

namespace tavrino {

PictureBoxWidget::PictureBoxWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // A new picture repaints the inside only: the border stays as it was drawn.
    surface_.OnChanged([this] { update(Inside()); });
}

void PictureBoxWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    surface_.Resize(width() - 2 * kBorder, height() - 2 * kBorder);
}

QRect PictureBoxWidget::Inside() const {
    return {kBorder, kBorder, surface_.Image().width(), surface_.Image().height()};
}

void PictureBoxWidget::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    // A repaint that lies inside the picture (a new picture) leaves the border as it is.
    if (!Inside().contains(event->rect())) {
        const QPalette& pal = palette();
        // Sunken 3D border: dark on the top and left, light on the bottom and right.
        p.fillRect(rect(), pal.color(QPalette::Window));
        p.setPen(pal.color(QPalette::Dark));
        p.drawLine(0, 0, width() - 1, 0);
        p.drawLine(0, 0, 0, height() - 1);
        p.setPen(pal.color(QPalette::Shadow));
        p.drawLine(1, 1, width() - 2, 1);
        p.drawLine(1, 1, 1, height() - 2);
        p.setPen(pal.color(QPalette::Light));
        p.drawLine(0, height() - 1, width() - 1, height() - 1);
        p.drawLine(width() - 1, 0, width() - 1, height() - 1);
        p.setPen(pal.color(QPalette::Midlight));
        p.drawLine(1, height() - 2, width() - 2, height() - 2);
        p.drawLine(width() - 2, 1, width() - 2, height() - 2);
    }
    if (!surface_.Image().isNull()) p.drawImage(kBorder, kBorder, surface_.Image());
    surface_.MarkShown();
}

}  // namespace tavrino
