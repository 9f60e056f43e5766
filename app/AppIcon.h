// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's own icon, drawn in code: a rounded dark-blue square with a white
// microphone on a stand and a red record dot. Used by the windows, the tray and the
// desktop entry (written as a PNG by `tavrino --write-icon PATH`).

#include <QIcon>
#include <QImage>
#include <QString>

namespace tavrino {

// The icon drawn at size x size pixels (ARGB, transparent outside the rounded square).
// Needs no display and no application object. size < 1 gives a null image.
QImage DrawAppIcon(int size);

// The icon with pixmaps at 16, 24, 32, 48, 64, 128 and 256 pixels. Needs a QGuiApplication.
QIcon AppIcon();

// Writes the icon drawn at size x size pixels as a PNG file; false when it cannot be
// written, with the reason in *error when given.
bool WriteIconPng(const QString& path, int size, QString* error = nullptr);

}  // namespace tavrino
