// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Module1.h"

#include "app/Form1.h"
#include "app/NotifyIcon.h"

namespace tavrino {

winmsg::WndProc lngPrevWndProc;
Form1* TrayForm = nullptr;

winmsg::LRESULT TrayWndProc(winmsg::HWND hwnd, winmsg::UINT msg, winmsg::WPARAM wParam, winmsg::LPARAM lParam) {
    // Kept before the menu runs: choosing "退出" there restores the window's own procedure.
    const winmsg::WndProc previous = lngPrevWndProc;
    if (msg == WM_TRAYICON && TrayForm != nullptr && TrayForm->hWnd() == hwnd) {
        if (lParam == WM_RBUTTONDOWN) {
            TrayForm->SetForegroundWindow();
        } else if (lParam == WM_RBUTTONUP) {
            TrayForm->PopupMenu();
        }
    }
    return winmsg::CallWindowProc(previous, hwnd, msg, wParam, lParam);
}

}  // namespace tavrino
