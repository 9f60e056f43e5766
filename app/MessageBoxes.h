// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Message boxes of the program. Every box, the windows' and the capture hook's, goes through
// the one message-box interface of platform/winmsg/MessageBox.h (a presenter that shows a
// prompt with an icon and a title, modal, returning when dismissed). The program installs
// the presenter below, which shows a QMessageBox; tests install one that records what would
// be shown, and when.

#include <QString>

#include <memory>

#include "platform/winmsg/MessageBox.h"

namespace tavrino {

// A QMessageBox with the asked icon and an OK button, modal over the active window.
std::shared_ptr<winmsg::MessageBoxPresenter> QtMessageBoxes();

// Makes QtMessageBoxes() the presenter of the whole program.
void InstallQtMessageBoxes();

// The application's title: the caption of message boxes that give none of their own.
QString AppTitle();

}  // namespace tavrino
