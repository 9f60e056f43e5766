// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Start-up of the program: reads the command line (app/CommandLine.h) and runs what it
// asks: the main window, or a run without one (timed recording, lists, version, icon).

#include <memory>

class QTranslator;

namespace tavrino {

// True when Qt can open a window: a platform was chosen explicitly (QT_QPA_PLATFORM)
// or an X11 or Wayland display is named in the environment.
bool DisplayAvailable();

// Loads Qt's own Chinese texts (qtbase_zh_CN: the standard dialogs and buttons) into the
// running application; null, with a note on stderr, when they are not installed. The
// texts stay in force while the translator lives. Needs a QCoreApplication.
std::unique_ptr<QTranslator> InstallQtChineseTexts();

// Runs the program with the process's arguments; returns its exit code.
int RunApplication(int argc, char** argv);

}  // namespace tavrino
