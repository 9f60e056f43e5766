// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppIcon.h"

#include <QColor>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

#include <algorithm>

namespace tavrino {
namespace {

constexpr int kSizes[] = {16, 24, 32, 48, 64, 128, 256};

}  // namespace

QImage DrawAppIcon(int size) {
    if (size < 1) return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;  // every length below is a fraction of the side

    // Background: a rounded square, dark blue, a little lighter at the top.
    const QRectF back(s * 0.03, s * 0.03, s * 0.94, s * 0.94);
    QLinearGradient shade(back.topLeft(), back.bottomLeft());
    shade.setColorAt(0.0, QColor(0x2a, 0x4d, 0x8a));
    shade.setColorAt(1.0, QColor(0x12, 0x25, 0x4a));
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    p.drawRoundedRect(back, s * 0.18, s * 0.18);

    // Microphone capsule: a white rounded bar with two grille lines.
    const QRectF capsule(s * 0.37, s * 0.16, s * 0.26, s * 0.42);
    p.setBrush(Qt::white);
    p.drawRoundedRect(capsule, capsule.width() / 2, capsule.width() / 2);
    if (size >= 32) {
        QPen grille(QColor(0x2a, 0x4d, 0x8a), s * 0.025, Qt::SolidLine, Qt::RoundCap);
        p.setPen(grille);
        for (const double y : {0.30, 0.38}) p.drawLine(QPointF(s * 0.43, s * y), QPointF(s * 0.57, s * y));
    }

    // Holder (a U around the capsule's lower half), stem and foot.
    const double line = std::max(1.0, s * 0.055);
    p.setPen(QPen(Qt::white, line, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath holder;
    const QRectF arc(s * 0.28, s * 0.22, s * 0.44, s * 0.46);
    holder.arcMoveTo(arc, 180);
    holder.arcTo(arc, 180, 180);
    p.drawPath(holder);
    p.drawLine(QPointF(s * 0.5, s * 0.68), QPointF(s * 0.5, s * 0.80));
    p.drawLine(QPointF(s * 0.36, s * 0.80), QPointF(s * 0.64, s * 0.80));

    // Record dot in the upper right corner, with a thin dark ring to set it off.
    p.setPen(QPen(QColor(0x12, 0x25, 0x4a), std::max(1.0, s * 0.02)));
    p.setBrush(QColor(0xe5, 0x39, 0x35));
    p.drawEllipse(QPointF(s * 0.79, s * 0.21), s * 0.11, s * 0.11);
    p.end();
    return image;
}

QIcon AppIcon() {
    QIcon icon;
    for (const int size : kSizes) icon.addPixmap(QPixmap::fromImage(DrawAppIcon(size)));
    return icon;
}

bool WriteIconPng(const QString& path, int size, QString* error) {
    const QImage image = DrawAppIcon(size);
    if (image.isNull()) {
        if (error) *error = QStringLiteral("invalid icon size %1").arg(size);
        return false;
    }
    QImageWriter writer(path, "png");
    if (writer.write(image)) return true;
    if (error) *error = writer.errorString();
    return false;
}

}  // namespace tavrino
