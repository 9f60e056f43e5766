// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/winmsg/Window.h"

#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <mutex>
#include <utility>
#include <vector>

#include "platform/HandleTable.h"

namespace tavrino::winmsg {

namespace {

thread_local uint32_t t_lastError = ERROR_SUCCESS;

struct Msg {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// The posted-message queue of one thread: a ring that grows only when it is full, and an
// eventfd that wakes the thread's event loop when the ring goes from empty to non-empty.
class ThreadQueue {
public:
    explicit ThreadQueue(uint32_t thread) : thread_(thread), ring_(kInitialCapacity) {
        fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~ThreadQueue() {
        delete notifier_.data();
        if (fd_ >= 0) close(fd_);
    }
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    uint32_t thread() const { return thread_; }

    // Called on the owner thread: makes sure the event loop watches the eventfd. The
    // notifier is a child of the application object, so it goes with it; a later
    // application gets a new one.
    void AttachToEventLoop() {
        if (notifier_ || fd_ < 0 || QCoreApplication::instance() == nullptr) return;
        if (QAbstractEventDispatcher::instance() == nullptr) return;  // no event loop here
        auto* n = new QSocketNotifier(fd_, QSocketNotifier::Read);
        if (n->thread() == QCoreApplication::instance()->thread()) n->setParent(QCoreApplication::instance());
        QObject::connect(n, &QSocketNotifier::activated, n, [this] { Drain(); });
        notifier_ = n;
    }

    void Push(const Msg& m) {
        // The owner's own posts always wake it: it may wait for them in a loop of its own.
        const bool own = GetCurrentThreadId() == thread_;
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            if (count_ == ring_.size()) Grow();
            ring_[(head_ + count_) % ring_.size()] = m;
            wake = deferred_ ? own : count_ == 0;
            ++count_;
        }
        if (wake) Signal();
    }

    void Defer(bool deferred) {
        bool pending = false;
        {
            std::lock_guard lock(mutex_);
            deferred_ = deferred;
            pending = !deferred && count_ > 0;
        }
        if (pending) Signal();  // what waited for the owner's next look
    }

    // Delivers the pending messages one by one; returns how many were taken.
    int Drain();

private:
    static constexpr size_t kInitialCapacity = 256;

    void Signal() {
        if (fd_ < 0) return;
        const uint64_t one = 1;
        ssize_t r = write(fd_, &one, sizeof one);
        (void)r;  // a full counter already wakes the reader
    }

    void Grow() {
        std::vector<Msg> bigger(ring_.size() * 2);
        for (size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
        ring_.swap(bigger);
        head_ = 0;
    }

    bool Pop(Msg& out) {
        std::lock_guard lock(mutex_);
        if (count_ == 0) return false;
        out = ring_[head_];
        head_ = (head_ + 1) % ring_.size();
        --count_;
        return true;
    }

    uint32_t thread_;
    int fd_ = -1;
    QPointer<QSocketNotifier> notifier_;
    std::mutex mutex_;
    std::vector<Msg> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool deferred_ = false;
};

struct Window {
    WndProc proc;
    uint32_t thread = 0;
    ThreadQueue* queue = nullptr;
};

// All windows of the process. The table's lock is never held while a procedure runs.
HandleTable<HWND, Window>& Windows() {
    static HandleTable<HWND, Window> windows(0x10000);
    return windows;
}

// The queue of a thread, made on first use; queues live as long as the process.
ThreadQueue* QueueOfThread(uint32_t thread) {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<ThreadQueue>> queues;
    std::lock_guard lock(mutex);
    for (auto& q : queues)
        if (q->thread() == thread) return q.get();
    queues.push_back(std::make_unique<ThreadQueue>(thread));
    return queues.back().get();
}

// The procedure of a window of the calling thread, or null with the last error set.
WndProc ProcOfOwnWindow(HWND hwnd) {
    const std::optional<Window> w = Windows().Find(hwnd);
    if (!w) {
        t_lastError = ERROR_INVALID_WINDOW_HANDLE;
        return nullptr;
    }
    if (w->thread != GetCurrentThreadId()) {
        t_lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return w->proc;
}

int ThreadQueue::Drain() {
    if (fd_ >= 0) {
        uint64_t v = 0;
        ssize_t r = read(fd_, &v, sizeof v);
        (void)r;  // EAGAIN when nothing was signalled
    }
    // A procedure that runs a modal loop meanwhile is woken for further posts as usual.
    bool deferred = false;
    {
        std::lock_guard lock(mutex_);
        std::swap(deferred, deferred_);
    }
    int delivered = 0;
    Msg m{};
    while (Pop(m)) {
        const std::optional<Window> w = Windows().Find(m.hwnd);
        if (!w) continue;              // window gone: dropped
        const WndProc& proc = w->proc;  // the copy keeps the procedure alive while it runs
        if (proc && *proc) (*proc)(m.hwnd, m.msg, m.wParam, m.lParam);
        ++delivered;
    }
    if (deferred) {
        std::lock_guard lock(mutex_);
        deferred_ = true;
    }
    return delivered;
}

}  // namespace

WndProc MakeWndProc(WndProcFunction fn) {
    if (!fn) return nullptr;
    return std::make_shared<const WndProcFunction>(std::move(fn));
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(getpid()); }
uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }
uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

HWND CreateWindowEx(std::string_view, std::string_view, WndProc proc) {
    static const WndProc defaultProc = MakeWndProc(&DefWindowProc);
    const uint32_t thread = GetCurrentThreadId();
    ThreadQueue* queue = QueueOfThread(thread);
    const HWND hwnd = Windows().Add(Window{proc ? std::move(proc) : defaultProc, thread, queue});
    queue->AttachToEventLoop();
    return hwnd;
}

bool DestroyWindow(HWND hwnd) {
    if (!ProcOfOwnWindow(hwnd)) return false;
    SendMessage(hwnd, WM_DESTROY, 0, 0);
    SendMessage(hwnd, WM_NCDESTROY, 0, 0);
    // The procedure is released here, outside the table's lock: its captures may do anything.
    Windows().Remove(hwnd);
    return true;
}

bool IsWindow(HWND hwnd) { return Windows().Contains(hwnd); }

uint32_t GetWindowThreadProcessId(HWND hwnd, uint32_t* processId) {
    // Only the fields are copied: a procedure is never released on a foreign thread.
    uint32_t thread = 0;
    const bool found = Windows().With(hwnd, [&](const Window& w) { thread = w.thread; });
    if (processId) *processId = found ? GetCurrentProcessId() : 0;
    return thread;
}

WndProc SetWindowLong(HWND hwnd, int32_t index, WndProc newProc) {
    if (index != GWL_WNDPROC || !newProc) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    WndProc previous;
    bool foreign = false;
    const uint32_t thread = GetCurrentThreadId();
    const bool found = Windows().With(hwnd, [&](Window& w) {
        if (w.thread != thread) foreign = true;
        else previous = std::exchange(w.proc, std::move(newProc));
    });
    if (!found || foreign) {
        t_lastError = found ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE;
        return nullptr;
    }
    return previous;
}

WndProc GetWindowLong(HWND hwnd, int32_t index) {
    if (index != GWL_WNDPROC) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return ProcOfOwnWindow(hwnd);
}

LRESULT CallWindowProc(const WndProc& proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!proc || !*proc) return 0;
    const WndProc keep = proc;  // the caller's copy may be replaced while it runs
    return (*keep)(hwnd, msg, wParam, lParam);
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    const WndProc proc = ProcOfOwnWindow(hwnd);
    if (!proc) return 0;
    return (*proc)(hwnd, msg, wParam, lParam);
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // Only the queue is taken: a procedure is never released on a posting thread.
    ThreadQueue* queue = nullptr;
    if (!Windows().With(hwnd, [&](const Window& w) { queue = w.queue; })) {
        t_lastError = ERROR_INVALID_WINDOW_HANDLE;
        return false;
    }
    queue->Push(Msg{hwnd, msg, wParam, lParam});  // queues live as long as the process
    return true;
}

int ProcessPostedMessages() {
    return QueueOfThread(GetCurrentThreadId())->Drain();
}

void DeferPostedWake(bool deferred) { QueueOfThread(GetCurrentThreadId())->Defer(deferred); }

}  // namespace tavrino::winmsg
