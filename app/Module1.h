// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window's replacement window procedure: it answers the tray icon's notification
// and hands every message on to the procedure that was in place before it.
//
// Message WM_TRAYICON (1147) carries the mouse message in lParam: a right-button press
// (516) brings the main window to the foreground, the release (517) opens its tray menu at
// the mouse position and returns when the menu closes; anything else (left button, double
// click, moves) does nothing. Every message, the tray message included, then goes to
// lngPrevWndProc with its four values unchanged, and that result is returned.

#include "platform/winmsg/Window.h"

namespace tavrino {

class Form1;

inline constexpr winmsg::UINT WM_TRAYICON = 1147;

// The procedure that was installed before TrayWndProc (null while none is installed).
extern winmsg::WndProc lngPrevWndProc;
// The main window whose menu the procedure opens; set while TrayWndProc is installed.
extern Form1* TrayForm;

winmsg::LRESULT TrayWndProc(winmsg::HWND hwnd, winmsg::UINT msg, winmsg::WPARAM wParam, winmsg::LPARAM lParam);

}  // namespace tavrino
