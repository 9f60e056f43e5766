// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window-procedure hook of the capture class: it puts a procedure of its own in front
// of a window's procedure and passes chosen messages to a callback, before and/or after the
// previous procedure has handled them.
//
// One MessageHook keeps a registry (window handle -> hook record), created by the first
// install that passes its checks. Each record holds two message tables of MSG_ENTRIES
// messages, or ALL_MESSAGES. For every message reaching a hooked window:
//   1. result = 0, handled = false;
//   2. if the before table matches, the callback runs with bBefore = true;
//   3. if it set handled, result is returned: neither the previous procedure nor the
//      after pass runs;
//   4. the previous procedure runs (depth counted); if this brought the depth back to 0 and
//      removal was requested, the previous procedure is put back and result returned;
//   5. if the after table matches, the callback runs with bBefore = false and may change
//      result; result is returned.
// sc_UnSubclass only requests removal (and empties the tables); the hook takes itself out
// at the next message that completes a call of the previous procedure at depth 0 — for the
// capture class's own window, during its destruction messages.
//
// Errors are not raised: each is written to the system log as "CLASS.ROUTINE: MESSAGE"
// and shown in a message box (platform/winmsg/MessageBox.h) with the exclamation icon,
// prompt "MESSAGE." and title "Error in CLASS.ROUTINE"; the operation then ends.
//
// Threads: the UI thread (the one owning the hooked windows) only.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/winmsg/Window.h"

namespace tavrino {

inline constexpr int32_t ALL_MESSAGES = -1;
inline constexpr int32_t MSG_ENTRIES = 32;

// When to pass a watched message (WatchMessage's `When`).
inline constexpr int32_t MSG_BEFORE = 1;
inline constexpr int32_t MSG_AFTER = 2;
inline constexpr int32_t MSG_BEFORE_AND_AFTER = 3;

// A message table: count 0 = nothing, ALL_MESSAGES = every message, otherwise entries
// 1 .. count are watched and an entry of 0 inside that range is a free slot.
struct MsgTable {
    int32_t count = 0;
    std::array<int32_t, MSG_ENTRIES + 1> entries{};  // entries[0] unused

    bool Matches(winmsg::UINT uMsg) const;
};

// The callback of a hook: bBefore tells the pass; bHandled (starts false) stops the
// message in the before pass; lReturn is the value the hook returns; lParamUser is the
// user value given at install.
using SubclassProc = std::function<void(bool bBefore, bool& bHandled, winmsg::LRESULT& lReturn, winmsg::HWND lng_hWnd,
                                        winmsg::UINT uMsg, winmsg::WPARAM wParam, winmsg::LPARAM lParam,
                                        int32_t& lParamUser)>;

// An object that offers hook callbacks by number.
class SubclassOwner {
public:
    virtual ~SubclassOwner() = default;
    // Callback number `nOrdinal` (1 = the owner's usual one), or an empty function.
    virtual SubclassProc SubclassCallback(int32_t nOrdinal) = 0;
};

// The per-window record.
struct HookRecord {
    int32_t depth = 0;                 // calls of the previous procedure in progress
    bool removalRequested = false;
    winmsg::HWND hWnd = 0;
    winmsg::WndProc previous;          // the procedure the hook stands in front of
    const void* self = nullptr;        // identifies the hook's own procedure on the window
    SubclassOwner* owner = nullptr;
    SubclassProc callback;
    MsgTable before;
    MsgTable after;
    int32_t lParamUser = 0;
};

class MessageHook {
public:
    // `className` names the reporting class in errors ("WaveInRecorder"); `defaultOwner` is
    // the owner used when sc_Subclass is given none. It must outlive the hook.
    MessageHook(std::string className, SubclassOwner& defaultOwner);
    // Requests removal of every hook still registered, so no callback reaches the owner later.
    ~MessageHook();
    MessageHook(const MessageHook&) = delete;
    MessageHook& operator=(const MessageHook&) = delete;

    // Installs the hook on a window of this thread. Checks, in order: the window exists
    // ("Invalid window handle"); it belongs to this process ("Window handle belongs to
    // another process"); the owner offers callback nOrdinal ("Callback method not found");
    // then the record is made ("VirtualAlloc failed, error: N"), registered ("Window handle
    // is already subclassed") and put in front ("SetWindowLong failed, error #N"; the
    // registration is then undone). bIdeSafety is accepted and has no effect here.
    bool sc_Subclass(winmsg::HWND lng_hWnd, int32_t lParamUser = 0, int32_t nOrdinal = 1,
                     SubclassOwner* oCallback = nullptr, bool bIdeSafety = true);
    // Requests the hook's removal, empties its tables and forgets the window.
    void sc_UnSubclass(winmsg::HWND lng_hWnd);
    // Adds uMsg (or ALL_MESSAGES) to the before table (When bit 1) and/or the after table
    // (bit 2) of the window's record; nothing if the look-up fails (it reports).
    void WatchMessage(winmsg::HWND lng_hWnd, int32_t uMsg, int32_t When = MSG_AFTER);

    // Table rules: ALL_MESSAGES sets the count to ALL_MESSAGES; a table already watching all
    // messages stays so; a full table (32) reports the overflow and takes nothing; a free
    // slot inside the range is reused; a message already present is not added twice.
    void zAddMsg(int32_t uMsg, MsgTable& table);
    // ALL_MESSAGES empties the table; another message frees its slot.
    void zDelMsg(int32_t uMsg, MsgTable& table);
    // The registered record of the window, or null after reporting "Subclassing hasn't been
    // started" (no registry yet) or "Window handle isn't subclassed".
    HookRecord* zMap_hWnd(winmsg::HWND lng_hWnd);

    bool HasRegistry() const { return registry_ != nullptr; }

private:
    void zError(const std::string& routine, const std::string& message);

    std::string className_;
    SubclassOwner& defaultOwner_;
    std::unique_ptr<std::unordered_map<winmsg::HWND, std::shared_ptr<HookRecord>>> registry_;
};

}  // namespace tavrino
