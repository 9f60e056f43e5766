// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/NotifyIcon.h"

#include <QCoreApplication>
#include <QPointer>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "platform/Log.h"

namespace tavrino {
namespace {

using Key = std::pair<winmsg::HWND, uint32_t>;

// The icons shown, by window and id. The icons are children of the application object,
// so that none outlives it even if a window never deletes its icon.
std::map<Key, QPointer<QSystemTrayIcon>>& Icons() {
    static std::map<Key, QPointer<QSystemTrayIcon>> icons;
    return icons;
}

}  // namespace

void SetTip(NOTIFYICONDATA& data, std::string_view text) {
    data.szTip.fill(' ');
    std::memcpy(data.szTip.data(), text.data(), std::min(text.size(), data.szTip.size()));
}

QString TipText(const NOTIFYICONDATA& data) {
    const auto end = std::find(data.szTip.begin(), data.szTip.end(), '\0');
    QString tip = QString::fromUtf8(data.szTip.data(), static_cast<qsizetype>(end - data.szTip.begin()));
    while (tip.endsWith(QLatin1Char(' '))) tip.chop(1);
    return tip;
}

void PostIconActivation(winmsg::HWND hWnd, winmsg::UINT callbackMessage,
                        QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Context:
            winmsg::PostMessage(hWnd, callbackMessage, 0, WM_RBUTTONDOWN);
            winmsg::PostMessage(hWnd, callbackMessage, 0, WM_RBUTTONUP);
            break;
        case QSystemTrayIcon::Trigger:
            winmsg::PostMessage(hWnd, callbackMessage, 0, WM_LBUTTONUP);
            break;
        case QSystemTrayIcon::DoubleClick:
            winmsg::PostMessage(hWnd, callbackMessage, 0, WM_LBUTTONDBLCLK);
            break;
        case QSystemTrayIcon::MiddleClick:
            winmsg::PostMessage(hWnd, callbackMessage, 0, WM_MBUTTONUP);
            break;
        case QSystemTrayIcon::Unknown:
            break;
    }
}

bool NotifyIconShown(winmsg::HWND hWnd, uint32_t uID) {
    const auto it = Icons().find({hWnd, uID});
    return it != Icons().end() && !it->second.isNull();
}

bool Shell_NotifyIcon(uint32_t dwMessage, const NOTIFYICONDATA& data) {
    auto& icons = Icons();
    const Key key{data.hWnd, data.uID};
    auto it = icons.find(key);
    if (it != icons.end() && it->second.isNull()) {
        icons.erase(it);
        it = icons.end();
    }
    switch (dwMessage) {
        case NIM_ADD: {
            if (it != icons.end() || !winmsg::IsWindow(data.hWnd)) return false;
            if (!QSystemTrayIcon::isSystemTrayAvailable()) {
                static bool told = false;
                if (!told) {
                    told = true;
                    LogNotice("no notification area on this desktop: running without the tray icon");
                }
                return false;
            }
            auto* icon = new QSystemTrayIcon(QCoreApplication::instance());
            if (data.uFlags & NIF_ICON) icon->setIcon(data.hIcon);
            if (data.uFlags & NIF_TIP) icon->setToolTip(TipText(data));
            if (data.uFlags & NIF_MESSAGE) {
                const winmsg::HWND hwnd = data.hWnd;
                const winmsg::UINT message = data.uCallbackMessage;
                QObject::connect(icon, &QSystemTrayIcon::activated, icon,
                                 [hwnd, message](QSystemTrayIcon::ActivationReason reason) {
                                     PostIconActivation(hwnd, message, reason);
                                 });
            }
            icon->show();
            icons.emplace(key, icon);
            return true;
        }
        case NIM_DELETE:
            if (it == icons.end()) return false;
            it->second->hide();
            delete it->second.data();
            icons.erase(it);
            return true;
        default:
            return false;
    }
}

}  // namespace tavrino
