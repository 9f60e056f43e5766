// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The notification-area icon in the manner of Shell_NotifyIcon, over QSystemTrayIcon.
//
// An icon is added for a window handle (platform/winmsg) and an id; mouse actions on it are
// posted to that window as its callback message with the mouse message in lParam, as the
// platform's notification area does: a right click arrives as WM_RBUTTONDOWN (516) followed
// by WM_RBUTTONUP (517); a left click as WM_LBUTTONUP (514), a double click as
// WM_LBUTTONDBLCLK (515), a middle click as WM_MBUTTONUP (520). The icon never opens a menu
// of its own: the window decides what a click does.
//
// Where the desktop has no notification area (no StatusNotifier host or XEmbed tray, as
// under bare Xvfb or offscreen), adding fails: the program runs on without an icon, and
// the first such failure is written to the system log once.
//
// UI thread only.

#include <QIcon>
#include <QSystemTrayIcon>

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/winmsg/Window.h"

namespace tavrino {

// The icon record, as the window keeps it for its lifetime.
struct NOTIFYICONDATA {
    uint32_t cbSize = 88;
    winmsg::HWND hWnd = 0;
    uint32_t uID = 0;
    uint32_t uFlags = 0;
    winmsg::UINT uCallbackMessage = 0;
    QIcon hIcon;
    std::array<char, 64> szTip{};  // UTF-8, cut to the field; not necessarily terminated
};

inline constexpr uint32_t NIM_ADD = 0;
inline constexpr uint32_t NIM_DELETE = 2;
inline constexpr uint32_t NIF_MESSAGE = 1;
inline constexpr uint32_t NIF_ICON = 2;
inline constexpr uint32_t NIF_TIP = 4;

inline constexpr winmsg::LPARAM WM_LBUTTONUP = 0x202;
inline constexpr winmsg::LPARAM WM_LBUTTONDBLCLK = 0x203;
inline constexpr winmsg::LPARAM WM_RBUTTONDOWN = 0x204;
inline constexpr winmsg::LPARAM WM_RBUTTONUP = 0x205;
inline constexpr winmsg::LPARAM WM_MBUTTONUP = 0x208;

// Fills the tip field: `text` followed by blanks up to 64 characters, cut to the field's 64
// bytes.
void SetTip(NOTIFYICONDATA& data, std::string_view text);
// The tip as shown: the field up to its first zero byte, trailing blanks removed.
QString TipText(const NOTIFYICONDATA& data);

// NIM_ADD shows the icon, NIM_DELETE removes it.
// Returns false when the operation could not be done (no notification area, an icon that
// is already there or not there).
bool Shell_NotifyIcon(uint32_t dwMessage, const NOTIFYICONDATA& data);

// Whether an icon for this window and id is shown now.
bool NotifyIconShown(winmsg::HWND hWnd, uint32_t uID);

// Posts what the platform would post to `hWnd` for an activation of its icon (see above).
void PostIconActivation(winmsg::HWND hWnd, winmsg::UINT callbackMessage, QSystemTrayIcon::ActivationReason reason);

}  // namespace tavrino
