#pragma once
// SIGINT, SIGTERM and SIGHUP as a call on the UI thread, so that Ctrl+C, a logout or a
// `kill` ends a recording as the stop button does instead of leaving its file unfinished.
//
// The handler only writes the signal's number into a pipe; a QSocketNotifier reads it on
// the thread that made the watcher and calls `onSignal` there. After the first signal the
// default actions are back, so a second Ctrl+C ends the program at once. One watcher at a
// time per process; the previous dispositions come back when it goes.

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
