// SPDX-License-Identifier: GPL-3.0-or-later
// The window-message layer: procedures replaced and chained as the program's tray procedure
// does, posting from other threads, delivery order, destruction.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/winmsg/MessageBox.h"
#include "platform/winmsg/Window.h"

namespace tavrino {
namespace {

using namespace winmsg;
using test::PumpUntil;

struct Seen {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    bool onUiThread;
};

TEST(WinMsg, PostedMessagesArriveOnTheOwnerThreadInOrderFromAnyThread) {
    std::vector<Seen> seen;
    const HWND hwnd = CreateWindowEx("STATIC", "t", MakeWndProc([&](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        seen.push_back({m, w, l, QThread::currentThread() == QCoreApplication::instance()->thread()});
        return 0;
    }));
    ASSERT_NE(hwnd, 0u);
    constexpr int kPerThread = 1000;  // more than the initial queue holds: the ring grows
    std::thread a([&] {
        for (int i = 0; i < kPerThread; ++i) EXPECT_TRUE(PostMessage(hwnd, WM_USER, 1, i));
    });
    std::thread b([&] {
        for (int i = 0; i < kPerThread; ++i) EXPECT_TRUE(PostMessage(hwnd, WM_USER + 1, 2, i));
    });
    a.join();
    b.join();
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2 * kPerThread; }));
    LPARAM nextA = 0, nextB = 0;
    for (const Seen& s : seen) {
        EXPECT_TRUE(s.onUiThread);
        if (s.wParam == 1) EXPECT_EQ(s.lParam, nextA++);  // each sender's order is kept
        else EXPECT_EQ(s.lParam, nextB++);
    }
    EXPECT_TRUE(DestroyWindow(hwnd));
}

// Deferred, a post from another thread waits for the owner's own look (the main window's
// tick); the owner's own posts, posts while a procedure runs a loop of its own, and the
// end of the deferral still wake it, so that nothing is left waiting.
TEST(WinMsg, DeferredPostsWaitForTheOwnersLookAndNoneIsLeftBehind) {
    using namespace std::chrono_literals;
    std::vector<LPARAM> got;
    HWND hwnd = 0;
    const auto postFromAnotherThread = [&](LPARAM l) { std::thread([&] { PostMessage(hwnd, WM_USER, 0, l); }).join(); };
    hwnd = CreateWindowEx("STATIC", "t", MakeWndProc([&](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
        if (m != WM_USER) return 0;
        got.push_back(l);
        if (l == 3) {  // a modal loop inside the procedure
            postFromAnotherThread(4);
            EXPECT_TRUE(PumpUntil([&] { return got.size() == 4; }));
        }
        return 0;
    }));
    DeferPostedWake(true);
    postFromAnotherThread(1);
    test::PumpFor(60ms);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(ProcessPostedMessages(), 1);
    PostMessage(hwnd, WM_USER, 0, 2);
    EXPECT_TRUE(PumpUntil([&] { return got.size() == 2; }));
    postFromAnotherThread(3);
    ProcessPostedMessages();
    postFromAnotherThread(5);  // deferred again once the delivery is over
    test::PumpFor(60ms);
    EXPECT_EQ(got, (std::vector<LPARAM>{1, 2, 3, 4}));
    DeferPostedWake(false);
    EXPECT_TRUE(PumpUntil([&] { return got.size() == 5; }));
    DestroyWindow(hwnd);
}

TEST(WinMsg, MessagesForADestroyedWindowAreDroppedAndHandlesAreNotReused) {
    int calls = 0;
    std::vector<UINT> sent;
    const HWND hwnd = CreateWindowEx("STATIC", "t", MakeWndProc([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        sent.push_back(m);
        if (m == WM_USER) ++calls;
        return 0;
    }));
    PostMessage(hwnd, WM_USER, 0, 0);
    PostMessage(hwnd, WM_USER, 0, 0);
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(sent, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    const HWND other = CreateWindowEx("STATIC", "t");
    EXPECT_NE(other, hwnd);
    ProcessPostedMessages();
    test::PumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(DestroyWindow(hwnd));
    DestroyWindow(other);
}

// The program's main window puts its own procedure in front and passes every message on,
// as TrayWndProc does; the previous one comes back at unload.
TEST(WinMsg, ReplacedProcedureChainsToThePreviousOneAndCanBeRestored) {
    std::vector<std::string> log;
    const HWND hwnd = CreateWindowEx("Form1", "main", MakeWndProc([&](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
        log.push_back("own " + std::to_string(m) + "/" + std::to_string(l));
        return 7;
    }));
    WndProc previous;
    WndProc tray = MakeWndProc([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == 1147) log.push_back("tray " + std::to_string(l));
        return CallWindowProc(previous, h, m, w, l);
    });
    previous = SetWindowLong(hwnd, GWL_WNDPROC, tray);
    ASSERT_TRUE(previous);
    EXPECT_EQ(GetWindowLong(hwnd, GWL_WNDPROC), tray);
    PostMessage(hwnd, 1147, 0, 516);
    PostMessage(hwnd, 1147, 0, 517);
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 4; }));
    EXPECT_EQ(log, (std::vector<std::string>{"tray 516", "own 1147/516", "tray 517", "own 1147/517"}));
    EXPECT_EQ(SendMessage(hwnd, 5, 0, 0), 7);  // the previous procedure's result comes through

    EXPECT_EQ(SetWindowLong(hwnd, GWL_WNDPROC, previous), tray);
    log.clear();
    SendMessage(hwnd, 1147, 0, 516);
    EXPECT_EQ(log, (std::vector<std::string>{"own 1147/516"}));
    DestroyWindow(hwnd);
}

TEST(WinMsg, RefusesBadArgumentsAndForeignThreads) {
    const HWND hwnd = CreateWindowEx("STATIC", "t");
    EXPECT_FALSE(SetWindowLong(hwnd, -16, MakeWndProc(&DefWindowProc)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetWindowLong(hwnd, GWL_WNDPROC, nullptr));
    EXPECT_FALSE(SetWindowLong(0, GWL_WNDPROC, MakeWndProc(&DefWindowProc)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    uint32_t pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());
    EXPECT_EQ(GetWindowThreadProcessId(0, &pid), 0u);
    EXPECT_EQ(pid, 0u);
    std::atomic<bool> replaced{true}, destroyed{true};
    std::thread other([&] {
        replaced = static_cast<bool>(SetWindowLong(hwnd, GWL_WNDPROC, MakeWndProc(&DefWindowProc)));
        destroyed = DestroyWindow(hwnd);
    });
    other.join();
    EXPECT_FALSE(replaced);
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(IsWindow(hwnd));
    DestroyWindow(hwnd);
}

TEST(WinMsg, MessageBoxGoesToTheInstalledPresenter) {
    test::BoxScope boxes;
    MsgBox("提示文字", MsgBoxIcon::Exclamation, "提示");
    ASSERT_EQ(boxes.rec->boxes.size(), 1u);
    EXPECT_EQ(boxes.rec->boxes[0].prompt, "提示文字");
    EXPECT_EQ(boxes.rec->boxes[0].title, "提示");
    EXPECT_EQ(boxes.rec->boxes[0].icon, MsgBoxIcon::Exclamation);
}

}  // namespace
}  // namespace tavrino
