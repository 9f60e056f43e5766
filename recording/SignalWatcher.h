// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// SIGINT, SIGTERM and SIGHUP as a call on the UI thread, so that Ctrl+C, a logout or a
// `kill` ends a recording as the stop button does instead of leaving its file unfinished.
//
// The handler only writes the signal's number into a pipe; a QSocketNotifier reads it on
// the thread that made the watcher and calls `onSignal` there, once: for the first signal.
// A signal that was ignored when the watcher was made (nohup ignores SIGHUP) stays ignored.
// After the first signal, SIGTERM and SIGHUP are still taken and go unheard, so that the
// stop they began finishes its file (a logout sends both); a second SIGINT (Ctrl+C again)
// has its previous action back and ends the program at once. One watcher at a time per
// process; the previous dispositions come back when it goes.

#include <functional>
#include <memory>

namespace tavrino {

class SignalWatcher {
public:
    explicit SignalWatcher(std::function<void(int signal)> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavrino
