// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/winmsg/MessageBox.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace tavrino::winmsg {

namespace {
std::mutex g_mutex;
std::shared_ptr<MessageBoxPresenter>& Presenter() {
    static std::shared_ptr<MessageBoxPresenter> presenter;
    return presenter;
}
}  // namespace

std::shared_ptr<MessageBoxPresenter> SetMessageBoxPresenter(std::shared_ptr<MessageBoxPresenter> presenter) {
    std::lock_guard lock(g_mutex);
    return std::exchange(Presenter(), std::move(presenter));
}

void MsgBox(const std::string& prompt, MsgBoxIcon icon, const std::string& title) {
    std::shared_ptr<MessageBoxPresenter> presenter;
    {
        std::lock_guard lock(g_mutex);
        presenter = Presenter();
    }
    if (presenter) {
        presenter->Show(prompt, icon, title);
    } else {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), prompt.c_str());
    }
}

}  // namespace tavrino::winmsg
