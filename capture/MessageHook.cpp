// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/MessageHook.h"

#include <new>

#include "platform/Log.h"
#include "platform/winmsg/MessageBox.h"

namespace tavrino {

using namespace winmsg;

namespace {
constexpr uint32_t kErrorNotEnoughMemory = 8;
}

bool MsgTable::Matches(UINT uMsg) const {
    if (count == ALL_MESSAGES) return true;
    for (int32_t i = 1; i <= count && i <= MSG_ENTRIES; ++i)
        if (entries[static_cast<size_t>(i)] != 0 && static_cast<UINT>(entries[static_cast<size_t>(i)]) == uMsg)
            return true;
    return false;
}

MessageHook::MessageHook(std::string className, SubclassOwner& defaultOwner)
    : className_(std::move(className)), defaultOwner_(defaultOwner) {}

MessageHook::~MessageHook() {
    if (!registry_) return;
    for (auto& [hwnd, rec] : *registry_) {
        rec->removalRequested = true;
        rec->before.count = 0;
        rec->after.count = 0;
        rec->callback = nullptr;  // the owner goes with us
        (void)hwnd;
    }
}

void MessageHook::zError(const std::string& routine, const std::string& message) {
    LogError(className_ + "." + routine + ": " + message);
    MsgBox(message + ".", MsgBoxIcon::Exclamation, "Error in " + className_ + "." + routine);
}

bool MessageHook::sc_Subclass(HWND lng_hWnd, int32_t lParamUser, int32_t nOrdinal, SubclassOwner* oCallback,
                              bool /*bIdeSafety*/) {
    const char* routine = "sc_Subclass";
    if (!IsWindow(lng_hWnd)) {
        zError(routine, "Invalid window handle");
        return false;
    }
    uint32_t pid = 0;
    GetWindowThreadProcessId(lng_hWnd, &pid);
    if (pid != GetCurrentProcessId()) {
        zError(routine, "Window handle belongs to another process");
        return false;
    }
    SubclassOwner* owner = oCallback != nullptr ? oCallback : &defaultOwner_;
    SubclassProc callback = owner->SubclassCallback(nOrdinal);
    if (!callback) {
        zError(routine, "Callback method not found");
        return false;
    }
    if (!registry_) registry_ = std::make_unique<std::unordered_map<HWND, std::shared_ptr<HookRecord>>>();

    std::shared_ptr<HookRecord> rec;
    try {
        rec = std::make_shared<HookRecord>();
    } catch (const std::bad_alloc&) {
        zError(routine, "VirtualAlloc failed, error: " + std::to_string(kErrorNotEnoughMemory));
        return false;
    }
    if (!registry_->emplace(lng_hWnd, rec).second) {
        zError(routine, "Window handle is already subclassed");
        return false;
    }
    rec->hWnd = lng_hWnd;
    rec->owner = owner;
    rec->callback = std::move(callback);
    rec->lParamUser = lParamUser;

    // The hook's procedure keeps its record alive for as long as it is on the window (or
    // running), whatever the registry says.
    WndProc hook = MakeWndProc([rec](HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        HookRecord& r = *rec;
        LRESULT lReturn = 0;
        bool bHandled = false;
        if (r.callback && r.before.Matches(uMsg)) {
            r.callback(true, bHandled, lReturn, hwnd, uMsg, wParam, lParam, r.lParamUser);
            if (bHandled) return lReturn;
        }
        ++r.depth;
        lReturn = CallWindowProc(r.previous, hwnd, uMsg, wParam, lParam);
        --r.depth;
        if (r.depth == 0 && r.removalRequested) {
            // Take ourselves out, unless another procedure was put in front of us meanwhile:
            // then we stay in the chain as a plain pass-through rather than cut it.
            const WndProc current = GetWindowLong(hwnd, GWL_WNDPROC);
            if (current && current.get() == r.self) SetWindowLong(hwnd, GWL_WNDPROC, r.previous);
            return lReturn;
        }
        if (r.callback && r.after.Matches(uMsg))
            r.callback(false, bHandled, lReturn, hwnd, uMsg, wParam, lParam, r.lParamUser);
        return lReturn;
    });
    rec->self = hook.get();
    WndProc previous = SetWindowLong(lng_hWnd, GWL_WNDPROC, hook);
    if (!previous) {
        const uint32_t error = GetLastError();
        registry_->erase(lng_hWnd);
        zError(routine, "SetWindowLong failed, error #" + std::to_string(error));
        return false;
    }
    rec->previous = std::move(previous);
    return true;
}

void MessageHook::sc_UnSubclass(HWND lng_hWnd) {
    if (!registry_) {
        zError("sc_UnSubclass", "Window handle isn't subclassed");
        return;
    }
    if (HookRecord* rec = zMap_hWnd(lng_hWnd)) {
        rec->removalRequested = true;
        zDelMsg(ALL_MESSAGES, rec->before);
        zDelMsg(ALL_MESSAGES, rec->after);
    }
    registry_->erase(lng_hWnd);
}

void MessageHook::WatchMessage(HWND lng_hWnd, int32_t uMsg, int32_t When) {
    HookRecord* rec = zMap_hWnd(lng_hWnd);
    if (rec == nullptr) return;
    if (When & MSG_BEFORE) zAddMsg(uMsg, rec->before);
    if (When & MSG_AFTER) zAddMsg(uMsg, rec->after);
}

void MessageHook::zAddMsg(int32_t uMsg, MsgTable& table) {
    if (uMsg == ALL_MESSAGES) {
        table.count = ALL_MESSAGES;
        return;
    }
    if (table.count == ALL_MESSAGES) return;  // every message is watched already
    if (table.count >= MSG_ENTRIES) {
        zError("zAddMsg",
               "Message table overflow. Either increase the value of Const MSG_ENTRIES or use ALL_MESSAGES instead "
               "of specific message values");
        return;
    }
    for (int32_t i = 1; i <= table.count; ++i) {
        int32_t& e = table.entries[static_cast<size_t>(i)];
        if (e == 0) {
            e = uMsg;
            return;
        }
        if (e == uMsg) return;
    }
    table.entries[static_cast<size_t>(table.count + 1)] = uMsg;
    ++table.count;
}

void MessageHook::zDelMsg(int32_t uMsg, MsgTable& table) {
    if (uMsg == ALL_MESSAGES) {
        table.count = 0;
        return;
    }
    if (table.count == ALL_MESSAGES) return;
    for (int32_t i = 1; i <= table.count; ++i)
        if (table.entries[static_cast<size_t>(i)] == uMsg) table.entries[static_cast<size_t>(i)] = 0;
}

HookRecord* MessageHook::zMap_hWnd(HWND lng_hWnd) {
    if (!registry_) {
        zError("zMap_hWnd", "Subclassing hasn't been started");
        return nullptr;
    }
    auto it = registry_->find(lng_hWnd);
    if (it == registry_->end()) {
        zError("zMap_hWnd", "Window handle isn't subclassed");
        return nullptr;
    }
    return it->second.get();
}

}  // namespace tavrino
