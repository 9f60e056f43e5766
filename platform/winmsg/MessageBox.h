// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Message boxes of the non-GUI layers (the capture hook's error reports), reached through an
// interface: the program installs one that shows a QMessageBox; tests install one that
// records what was shown. With none installed, the box is written to stderr as
// "TITLE: PROMPT".

#include <memory>
#include <string>

namespace tavrino::winmsg {

// The icons of the platform's message box.
enum class MsgBoxIcon { None, Information, Exclamation, Critical, Question };

class MessageBoxPresenter {
public:
    virtual ~MessageBoxPresenter() = default;
    // Shows the box modally and returns when it is dismissed. Called on the UI thread.
    virtual void Show(const std::string& prompt, MsgBoxIcon icon, const std::string& title) = 0;
};

// Installs the presenter used by MsgBox (null: back to stderr); returns the previous one.
std::shared_ptr<MessageBoxPresenter> SetMessageBoxPresenter(std::shared_ptr<MessageBoxPresenter> presenter);

// Shows a message box through the installed presenter. Texts are UTF-8.
void MsgBox(const std::string& prompt, MsgBoxIcon icon, const std::string& title);

}  // namespace tavrino::winmsg
