// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the tests of platform/ and of the modules above it: a QCoreApplication for the
// whole run, event pumping with a deadline, a message box that records what it was asked
// to show, and shell helpers.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/winmsg/MessageBox.h"

namespace tavrino::test {

// Runs the Qt event loop until `done` holds or `timeout` passes; returns done().
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Runs the Qt event loop for a while.
void PumpFor(std::chrono::milliseconds time);

struct ShownBox {
    std::string prompt;
    winmsg::MsgBoxIcon icon;
    std::string title;
};

// Installs itself as the message box presenter for its lifetime.
class BoxRecorder : public winmsg::MessageBoxPresenter, public std::enable_shared_from_this<BoxRecorder> {
public:
    static std::shared_ptr<BoxRecorder> Install();
    ~BoxRecorder() override = default;
    void Show(const std::string& prompt, winmsg::MsgBoxIcon icon, const std::string& title) override;
    std::vector<ShownBox> boxes;
};

// Removes the recorder again at scope end.
struct BoxScope {
    BoxScope() : rec(BoxRecorder::Install()) {}
    ~BoxScope() { winmsg::SetMessageBoxPresenter(nullptr); }
    std::shared_ptr<BoxRecorder> rec;
};

// Runs a shell command, returns its standard output (trailing newline cut) and sets *status.
std::string Shell(const std::string& command, int* status = nullptr);

}  // namespace tavrino::test
