// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The table behind the platform's handles (wave-input devices, mixers, windows): each
// handle names one object, is never 0 and is never given out twice in a process, so a
// stale handle finds nothing rather than a newer object.
//
// Threads: every member may be called from any thread; one mutex guards the table, held
// only inside a member (With runs its function under it, so that function must not call
// back into the same table). Find hands out a copy, so the value type is usually a
// shared_ptr or a small struct of them: the object then outlives its removal for whoever
// still holds the copy. Adding allocates; looking up and removing do not.

#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace tavrino {

template <class Handle, class T>
class HandleTable {
public:
    // Handles are counted up from `first`.
    explicit HandleTable(Handle first) : next_(first) {}
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // A handle not given out before, for an object to be inserted under it later.
    Handle Reserve() {
        std::lock_guard lock(mutex_);
        return next_++;
    }
    void Insert(Handle h, T value) {
        std::lock_guard lock(mutex_);
        items_.insert_or_assign(h, std::move(value));
    }
    Handle Add(T value) {
        std::lock_guard lock(mutex_);
        const Handle h = next_++;
        items_.emplace(h, std::move(value));
        return h;
    }

    std::optional<T> Find(Handle h) const {
        std::lock_guard lock(mutex_);
        const auto it = items_.find(h);
        if (it == items_.end()) return std::nullopt;
        return it->second;
    }
    bool Contains(Handle h) const {
        std::lock_guard lock(mutex_);
        return items_.count(h) != 0;
    }
    // Runs fn(T&) on the handle's value under the table's lock; false if there is none.
    template <class F>
    bool With(Handle h, F&& fn) {
        std::lock_guard lock(mutex_);
        const auto it = items_.find(h);
        if (it == items_.end()) return false;
        std::forward<F>(fn)(it->second);
        return true;
    }
    // Takes the value out; the caller releases it (outside the lock).
    std::optional<T> Remove(Handle h) {
        std::lock_guard lock(mutex_);
        const auto it = items_.find(h);
        if (it == items_.end()) return std::nullopt;
        std::optional<T> out(std::move(it->second));
        items_.erase(it);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<Handle, T> items_;
    Handle next_;
};

}  // namespace tavrino
