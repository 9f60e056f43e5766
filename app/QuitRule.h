// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When the program ends: once the main window has unloaded and none of the program's other
// windows (preview, About) is open any more.
//
// Qt's own rule (quit when the last visible window closes) would end the program when the
// player or About window closes while the main window sits hidden in the tray, with a
// recording running; and the main window's unload is not the end while another window of
// the program is still open.

#include <QObject>

#include <functional>

namespace tavrino {

class Form1;

class QuitWhenAllWindowsClosed final : public QObject {
public:
    // Replaces Qt's rule for the application; `quit` ends the program (by default
    // QCoreApplication::quit). `form` must outlive this object.
    explicit QuitWhenAllWindowsClosed(Form1& form, std::function<void()> quit = {});
    ~QuitWhenAllWindowsClosed() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void QuitIfDone();

    Form1& form_;
    std::function<void()> quit_;
    bool pending_ = false;   // a look is scheduled
    bool quitting_ = false;  // quit_ was called: once is enough
};

}  // namespace tavrino
