// SPDX-License-Identifier: GPL-3.0-or-later
// The capture class's window hook: dispatch through the before and after tables, the
// handled short-circuit, nesting and removal at depth 0, the table rules and the error
// reports.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "capture/WaveInRecorder.h"
#include "platform/winmsg/Window.h"

namespace tavrino {
namespace {

using namespace winmsg;

// An owner whose callback logs every call and can be told to handle or rewrite a message.
class LoggingOwner : public SubclassOwner {
public:
    SubclassProc SubclassCallback(int32_t nOrdinal) override {
        if (nOrdinal != 1) return nullptr;
        return [this](bool bBefore, bool& bHandled, LRESULT& lReturn, HWND, UINT uMsg, WPARAM, LPARAM,
                      int32_t& lParamUser) {
            log.push_back(std::string(bBefore ? "before " : "after ") + std::to_string(uMsg) + " r" +
                          std::to_string(lReturn) + " u" + std::to_string(lParamUser));
            if (bBefore && uMsg == handleMsg) {
                bHandled = true;
                lReturn = 42;
            }
            if (!bBefore && uMsg == rewriteMsg) lReturn = 99;
        };
    }
    std::vector<std::string> log;
    UINT handleMsg = 0;
    UINT rewriteMsg = 0;
};

struct HookFixture : ::testing::Test {
    void SetUp() override {
        hwnd = CreateWindowEx("STATIC", "t", MakeWndProc([this](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            log().push_back("prev " + std::to_string(m));
            if (onPrevious) onPrevious(h, m, w, l);
            return 5;
        }));
        original = GetWindowLong(hwnd, GWL_WNDPROC);
    }
    void TearDown() override {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }
    std::vector<std::string>& log() { return owner.log; }

    test::BoxScope boxes;
    WaveInRecorder recorder;
    LoggingOwner owner;
    HWND hwnd = 0;
    WndProc original;
    std::function<void(HWND, UINT, WPARAM, LPARAM)> onPrevious;
};

TEST_F(HookFixture, BeforeAndAfterTablesChooseWhatReachesTheCallback) {
    MessageHook& hook = recorder.Hook();
    ASSERT_TRUE(hook.sc_Subclass(hwnd, 17, 1, &owner));
    hook.WatchMessage(hwnd, 100, MSG_BEFORE);
    hook.WatchMessage(hwnd, 200, MSG_AFTER);
    hook.WatchMessage(hwnd, 300, MSG_BEFORE_AND_AFTER);
    owner.rewriteMsg = 200;

    EXPECT_EQ(SendMessage(hwnd, 100, 0, 0), 5);
    EXPECT_EQ(SendMessage(hwnd, 200, 0, 0), 99);  // the after pass sees and rewrites the result
    EXPECT_EQ(SendMessage(hwnd, 300, 0, 0), 5);
    EXPECT_EQ(SendMessage(hwnd, 400, 0, 0), 5);
    EXPECT_EQ(log(), (std::vector<std::string>{"before 100 r0 u17", "prev 100", "prev 200", "after 200 r5 u17",
                                               "before 300 r0 u17", "prev 300", "after 300 r5 u17", "prev 400"}));
    EXPECT_TRUE(boxes.rec->boxes.empty());

    log().clear();
    hook.WatchMessage(hwnd, ALL_MESSAGES, MSG_AFTER);
    SendMessage(hwnd, 401, 0, 0);
    EXPECT_EQ(log(), (std::vector<std::string>{"prev 401", "after 401 r5 u17"}));
}

TEST_F(HookFixture, HandledInTheBeforePassStopsTheMessage) {
    MessageHook& hook = recorder.Hook();
    ASSERT_TRUE(hook.sc_Subclass(hwnd, 0, 1, &owner));
    hook.WatchMessage(hwnd, 100, MSG_BEFORE_AND_AFTER);
    owner.handleMsg = 100;
    EXPECT_EQ(SendMessage(hwnd, 100, 0, 0), 42);
    EXPECT_EQ(log(), (std::vector<std::string>{"before 100 r0 u0"}));
}

TEST_F(HookFixture, RemovalWaitsUntilTheOutermostCallOfThePreviousProcedureReturns) {
    MessageHook& hook = recorder.Hook();
    ASSERT_TRUE(hook.sc_Subclass(hwnd, 0, 1, &owner));
    hook.WatchMessage(hwnd, ALL_MESSAGES, MSG_BEFORE_AND_AFTER);
    bool hookStillInPlaceInside = false;
    onPrevious = [&](HWND h, UINT m, WPARAM, LPARAM) {
        if (m == 100) {
            hook.sc_UnSubclass(h);
            SendMessage(h, 101, 0, 0);  // re-entrant: goes through the hook at depth 2
        } else if (m == 101) {
            hookStillInPlaceInside = GetWindowLong(h, GWL_WNDPROC) != original;
        }
    };
    SendMessage(hwnd, 100, 0, 0);
    EXPECT_TRUE(hookStillInPlaceInside);
    EXPECT_EQ(GetWindowLong(hwnd, GWL_WNDPROC), original);  // back once depth reached 0
    // Nothing reached the callback after the removal request: not the nested message, not
    // the after pass of the outer one.
    EXPECT_EQ(log(), (std::vector<std::string>{"before 100 r0 u0", "prev 100", "prev 101"}));
    log().clear();
    SendMessage(hwnd, 102, 0, 0);
    EXPECT_EQ(log(), (std::vector<std::string>{"prev 102"}));
    EXPECT_TRUE(boxes.rec->boxes.empty());
}

TEST_F(HookFixture, UnsubclassedWindowGetsItsProcedureBackAtTheNextMessage) {
    MessageHook& hook = recorder.Hook();
    ASSERT_TRUE(hook.sc_Subclass(hwnd, 0, 1, &owner));
    hook.WatchMessage(hwnd, 100, MSG_AFTER);
    hook.sc_UnSubclass(hwnd);
    EXPECT_NE(GetWindowLong(hwnd, GWL_WNDPROC), original);
    PostMessage(hwnd, 100, 0, 0);
    ASSERT_TRUE(test::PumpUntil([&] { return !log().empty(); }));
    EXPECT_EQ(log(), (std::vector<std::string>{"prev 100"}));
    EXPECT_EQ(GetWindowLong(hwnd, GWL_WNDPROC), original);
    // The window can be hooked again afterwards.
    EXPECT_TRUE(hook.sc_Subclass(hwnd, 0, 1, &owner));
    EXPECT_TRUE(boxes.rec->boxes.empty());
}

TEST_F(HookFixture, TableHoldsThirtyTwoMessagesAndReportsTheThirtyThird) {
    MessageHook& hook = recorder.Hook();
    MsgTable table;
    for (int32_t m = 1; m <= MSG_ENTRIES; ++m) hook.zAddMsg(1000 + m, table);
    EXPECT_EQ(table.count, MSG_ENTRIES);
    hook.zAddMsg(1005, table);  // a full table is checked before the look for duplicates
    ASSERT_EQ(boxes.rec->boxes.size(), 1u);
    boxes.rec->boxes.clear();
    hook.zAddMsg(2000, table);
    ASSERT_EQ(boxes.rec->boxes.size(), 1u);
    EXPECT_EQ(boxes.rec->boxes[0].prompt,
              "Message table overflow. Either increase the value of Const MSG_ENTRIES or use ALL_MESSAGES instead of "
              "specific message values.");
    EXPECT_EQ(boxes.rec->boxes[0].title, "Error in WaveInRecorder.zAddMsg");
    EXPECT_EQ(boxes.rec->boxes[0].icon, MsgBoxIcon::Exclamation);
    EXPECT_EQ(table.count, MSG_ENTRIES);
    EXPECT_FALSE(table.Matches(2000));

    // A freed slot inside the range is reused; duplicates are not added.
    hook.zDelMsg(1010, table);
    EXPECT_FALSE(table.Matches(1010));
    table.count = MSG_ENTRIES - 1;  // make room at the end too
    hook.zAddMsg(3000, table);
    EXPECT_EQ(table.entries[10], 3000);
    EXPECT_EQ(table.count, MSG_ENTRIES - 1);
    hook.zAddMsg(3000, table);
    EXPECT_EQ(table.count, MSG_ENTRIES - 1);

    MsgTable all;
    hook.zAddMsg(ALL_MESSAGES, all);
    hook.zAddMsg(7, all);  // watching everything already: stays so
    EXPECT_EQ(all.count, ALL_MESSAGES);
    EXPECT_TRUE(all.Matches(12345));
    hook.zDelMsg(ALL_MESSAGES, all);
    EXPECT_FALSE(all.Matches(7));
}

TEST_F(HookFixture, ErrorsAreReportedWithTheirTextsAndRoutines) {
    MessageHook& hook = recorder.Hook();
    auto& shown = boxes.rec->boxes;

    hook.sc_UnSubclass(hwnd);  // no registry yet
    hook.WatchMessage(hwnd, 100, MSG_AFTER);
    EXPECT_FALSE(hook.sc_Subclass(0));
    EXPECT_FALSE(hook.sc_Subclass(hwnd, 0, 2));  // the recorder offers callback 1 only
    EXPECT_FALSE(hook.HasRegistry());            // no check passed yet
    ASSERT_TRUE(hook.sc_Subclass(hwnd, 0, 1, &owner));
    EXPECT_FALSE(hook.sc_Subclass(hwnd, 0, 1, &owner));
    const HWND unknown = CreateWindowEx("STATIC", "u");
    hook.sc_UnSubclass(unknown);

    // A window of another thread: every check passes but the procedure cannot be replaced.
    HWND foreign = 0;
    std::thread t([&] { foreign = CreateWindowEx("STATIC", "f"); });
    t.join();
    EXPECT_FALSE(hook.sc_Subclass(foreign, 0, 1, &owner));
    EXPECT_FALSE(hook.sc_Subclass(foreign, 0, 1, &owner));  // not left registered

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Error in WaveInRecorder.sc_UnSubclass", "Window handle isn't subclassed."},
        {"Error in WaveInRecorder.zMap_hWnd", "Subclassing hasn't been started."},
        {"Error in WaveInRecorder.sc_Subclass", "Invalid window handle."},
        {"Error in WaveInRecorder.sc_Subclass", "Callback method not found."},
        {"Error in WaveInRecorder.sc_Subclass", "Window handle is already subclassed."},
        {"Error in WaveInRecorder.zMap_hWnd", "Window handle isn't subclassed."},
        {"Error in WaveInRecorder.sc_Subclass", "SetWindowLong failed, error #5."},
        {"Error in WaveInRecorder.sc_Subclass", "SetWindowLong failed, error #5."},
    };
    ASSERT_EQ(shown.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(shown[i].title, expected[i].first) << i;
        EXPECT_EQ(shown[i].prompt, expected[i].second) << i;
        EXPECT_EQ(shown[i].icon, MsgBoxIcon::Exclamation) << i;
    }
    DestroyWindow(unknown);
}

}  // namespace
}  // namespace tavrino
