#pragma once
// Start-up of the program: checks that a display can be had and runs the main window.

namespace tavrino {

// True when Qt can open a window: a platform was chosen explicitly (QT_QPA_PLATFORM)
// or an X11 or Wayland display is named in the environment.
bool DisplayAvailable();

// Runs the program with the process's arguments; returns its exit code.
int RunApplication(int argc, char** argv);

}  // namespace tavrino
