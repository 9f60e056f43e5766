// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/SignalWatcher.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tavrino {

namespace {

constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
// The pipe the handler writes into; -1 while no watcher lives.
volatile std::sig_atomic_t g_writeFd = -1;

void Handler(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    if (g_writeFd >= 0) {
        const ssize_t written = ::write(g_writeFd, &byte, 1);  // a full pipe loses nothing that matters
        static_cast<void>(written);
    }
    errno = saved;
}

}  // namespace

struct SignalWatcher::Impl {
    std::function<void(int)> onSignal;
    std::array<int, 2> pipe{-1, -1};
    std::array<struct sigaction, kSignals.size()> previous{};
    std::array<bool, kSignals.size()> caught{};  // false: ignored from the start, left alone
    std::unique_ptr<QSocketNotifier> notifier;
    bool signalled = false;

    void Restore(int only = 0) {
        for (size_t i = 0; i < kSignals.size(); ++i) {
            if (!caught[i] || (only != 0 && kSignals[i] != only)) continue;
            sigaction(kSignals[i], &previous[i], nullptr);
            caught[i] = false;
        }
    }
};

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : impl_(std::make_unique<Impl>()) {
    impl_->onSignal = std::move(onSignal);
    if (::pipe2(impl_->pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_writeFd = impl_->pipe[1];
    impl_->notifier = std::make_unique<QSocketNotifier>(impl_->pipe[0], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, impl_->notifier.get(), [impl = impl_.get()] {
        unsigned char byte = 0;
        while (::read(impl->pipe[0], &byte, 1) == 1) {
            if (impl->signalled) continue;  // the stop under way finishes first
            impl->signalled = true;
            impl->Restore(SIGINT);  // Ctrl+C once more ends at once
            if (impl->onSignal) impl->onSignal(byte);
        }
    });
    struct sigaction sa {};
    sa.sa_handler = Handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignals.size(); ++i) {
        if (sigaction(kSignals[i], nullptr, &impl_->previous[i]) != 0 || impl_->previous[i].sa_handler == SIG_IGN) continue;
        impl_->caught[i] = sigaction(kSignals[i], &sa, nullptr) == 0;
    }
}

SignalWatcher::~SignalWatcher() {
    impl_->Restore();
    g_writeFd = -1;
    impl_->notifier.reset();
    for (int fd : impl_->pipe) {
        if (fd >= 0) ::close(fd);
    }
}

}  // namespace tavrino
