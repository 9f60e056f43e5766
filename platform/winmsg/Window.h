// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A small window-message layer in the manner of user32, on top of the Qt event loop.
//
// A window here is a handle with a window procedure and an owner thread; it has no pixels.
// It serves two purposes:
//   - the hidden notification window of the capture class, to which the wave-input layer
//     posts its "buffer done" messages from its own thread;
//   - the main window's message handle, whose procedure the program replaces with its own
//     (SetWindowLong(hwnd, GWL_WNDPROC, ...)) and to which the tray icon posts message 1147.
//
// Contract
//   - Handles are non-zero, never reused within a process, and 0 means "no window".
//   - A window belongs to the thread that created it. Everything except PostMessage,
//     IsWindow and GetWindowThreadProcessId must be called on that thread.
//   - PostMessage may be called from any thread. Posted messages are delivered on the
//     owner thread by its Qt event loop (a QCoreApplication or QApplication must exist
//     before the first window is created, and the thread must run an event loop or call
//     ProcessPostedMessages), strictly in posting order, one at a time. A message whose
//     window is gone by the time it is delivered is dropped.
//   - Posting does not allocate while the thread's queue has room (it is preallocated and
//     grows only when more messages are pending than ever before); delivery does not
//     allocate. No lock is held while a window procedure runs.
//   - DestroyWindow sends WM_DESTROY and then WM_NCDESTROY to the window's current
//     procedure before the handle becomes invalid, so a procedure that was put in front of
//     another one can put it back during those messages.
//   - A handler that runs a nested event loop (a modal box) may see further posted messages
//     delivered inside it, as on the original platform.
//
// Errors follow the platform's style: a failing call returns 0 / false / a null procedure
// and sets the thread's last error (GetLastError), e.g. ERROR_INVALID_WINDOW_HANDLE.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tavrino::winmsg {

using HWND = std::uintptr_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// A window procedure. Procedures are shared objects, so that the value returned by
// SetWindowLong can be kept and called later with CallWindowProc, like the address it
// stands for; the layer keeps a procedure alive while it runs even if it is replaced
// (or its window destroyed) meanwhile.
using WndProcFunction = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
using WndProc = std::shared_ptr<const WndProcFunction>;

// Wraps a function (a free function such as TrayWndProc, or a lambda) as a procedure.
WndProc MakeWndProc(WndProcFunction fn);

// The default procedure: answers every message with 0.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Window-procedure index of SetWindowLong / GetWindowLong.
inline constexpr int32_t GWL_WNDPROC = -4;

// Messages the layer itself sends.
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_NCDESTROY = 0x0082;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

// Last-error numbers used by this layer.
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;

// Creates a window owned by the calling thread. `className` and `windowName` are kept for
// diagnostics only ("STATIC", "WAVE_IN_WINDOW"). The window starts with `proc`, or with
// DefWindowProc when `proc` is null. Returns the handle.
HWND CreateWindowEx(std::string_view className, std::string_view windowName, WndProc proc = nullptr);

// Sends WM_DESTROY and WM_NCDESTROY, then invalidates the handle and drops its pending
// messages. False (ERROR_INVALID_WINDOW_HANDLE) for an invalid handle or one of another
// thread (ERROR_ACCESS_DENIED).
bool DestroyWindow(HWND hwnd);

// True while the handle names a live window. Any thread.
bool IsWindow(HWND hwnd);

// Identifier of the window's owner thread (0 for an invalid handle); stores the owner
// process's identifier in *processId when given (0 for an invalid handle). Any thread.
uint32_t GetWindowThreadProcessId(HWND hwnd, uint32_t* processId);
uint32_t GetCurrentProcessId();
uint32_t GetCurrentThreadId();

// Replaces the window procedure (index GWL_WNDPROC only) and returns the previous one.
// Returns null and sets the last error for an invalid handle, a foreign thread, another
// index or a null procedure.
WndProc SetWindowLong(HWND hwnd, int32_t index, WndProc newProc);
// The current procedure (index GWL_WNDPROC only), null on failure.
WndProc GetWindowLong(HWND hwnd, int32_t index);

// Calls `proc` with the message at once on the calling thread; 0 when `proc` is null.
LRESULT CallWindowProc(const WndProc& proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Calls the window's current procedure at once (owner thread only); 0 for an invalid handle.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Queues the message for the window's owner thread. Any thread. False for an invalid handle.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Delivers every message pending for the calling thread's windows, as the event loop
// would; returns how many were delivered. For loops that do not run Qt's event loop.
int ProcessPostedMessages();

// While deferred, a message another thread posts to the calling thread's windows does not
// wake its event loop: it waits until the thread calls ProcessPostedMessages, which it
// must then do regularly (the main window does so on each tick of its display timer, so
// that a captured buffer costs no wake-up of its own). Messages the thread posts itself
// still wake it, and so does any post while ProcessPostedMessages delivers (a procedure
// may run a modal loop). Ending the deferral wakes the loop for whatever is pending.
void DeferPostedWake(bool deferred);

uint32_t GetLastError();
void SetLastError(uint32_t error);

}  // namespace tavrino::winmsg
