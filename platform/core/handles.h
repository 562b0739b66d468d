// The process's handle table, shared by every kind of system object (events, threads, ports).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/wait_dispatch.h"
#include "platform/wintypes.h"

namespace platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once when the last handle to the object is closed.
    virtual void OnClose() {}
};

class Waitable : public KernelObject {
public:
    // WAIT_OBJECT_0 or WAIT_TIMEOUT.
    virtual DWORD Wait(DWORD milliseconds) = 0;
};

// The calling thread's wait dispatcher when it should dispatch now, else nullptr.
WaitDispatcher* ActiveWaitDispatcher();

// What every waitable object shares: the lock on its state, the condition its waiters sleep on,
// and the window-system threads waiting on it, which dispatch instead of sleeping and so must be
// woken through their dispatcher.
class WaitCore {
public:
    std::mutex mutex;

    // With `lock` holding `mutex`: waits until `released()` holds or `milliseconds` (INFINITE
    // allowed) have passed on a monotonic clock; true when released.
    template <class Released>
    bool WaitFor(std::unique_lock<std::mutex>& lock, DWORD milliseconds, Released released);

    // With `mutex` held, after the state changed: every waiter looks again.
    void NotifyAll() {
        changed_.notify_all();
        for (Listener* l = listeners_; l != nullptr; l = l->next) l->dispatcher->Wake();
    }

private:
    // Lives on the waiting thread's stack for the length of its wait: no allocation per wait.
    struct Listener {
        WaitDispatcher* dispatcher;
        Listener* next;
    };

    std::condition_variable changed_;
    Listener* listeners_ = nullptr;
};

template <class Released>
bool WaitCore::WaitFor(std::unique_lock<std::mutex>& lock, DWORD milliseconds, Released released) {
    using Clock = std::chrono::steady_clock;
    if (released()) return true;
    if (milliseconds == 0) return false;
    const Clock::time_point deadline = milliseconds == INFINITE
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(milliseconds);
    // Asked without the lock: the dispatcher may look at the window system.
    lock.unlock();
    WaitDispatcher* dispatcher = ActiveWaitDispatcher();
    lock.lock();
    if (dispatcher == nullptr) {
        if (milliseconds == INFINITE) {
            changed_.wait(lock, released);
            return true;
        }
        return changed_.wait_until(lock, deadline, released);
    }

    Listener self{dispatcher, listeners_};
    listeners_ = &self;
    struct Unlink {
        std::unique_lock<std::mutex>& lock;
        Listener*& head;
        Listener* node;
        ~Unlink() {
            if (!lock.owns_lock()) lock.lock();
            for (Listener** p = &head; *p != nullptr; p = &(*p)->next) {
                if (*p == node) {
                    *p = node->next;
                    break;
                }
            }
        }
    } unlink{lock, listeners_, &self};

    bool done = released();
    while (!done && Clock::now() < deadline) {
        lock.unlock();
        dispatcher->Dispatch(deadline);
        lock.lock();
        done = released();
    }
    return done;
}

// Handle values are never handed out twice in one process, so a stale handle cannot reach a
// newer object.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace platform
