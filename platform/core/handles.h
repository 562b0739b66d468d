// The process's handle table, shared by every kind of system object (events, threads, ports).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/wait_dispatch.h"
#include "platform/wincore.h"

namespace platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once when the last handle to the object is closed.
    virtual void OnClose() {}
};

class WaitCore;

class Waitable : public KernelObject {
public:
    // WAIT_OBJECT_0 or WAIT_TIMEOUT.
    virtual DWORD Wait(DWORD milliseconds) = 0;

    // For a wait on several objects at once (WaitAny). WaitBegins and TryClaim are called with
    // Core().mutex held.
    virtual WaitCore& Core() = 0;
    // What a wait that starts now must later see changed (an event's pulse count).
    virtual unsigned long long WaitBegins() { return 0; }
    // True when the object releases a wait that began at `begun`.
    virtual bool TryClaim(unsigned long long begun) = 0;
    // A descriptor whose input signals the object, held open until EndPoll; -1 for none.
    // Called without Core().mutex.
    virtual int BeginPoll() { return -1; }
    virtual void EndPoll() {}
};

// Waits until one of `objects` releases the wait: WAIT_OBJECT_0 + the lowest such index, or
// WAIT_TIMEOUT. The calling thread sleeps in poll(), woken by any waker's NotifyAll through a
// descriptor of its own, so the objects' descriptors (a port's input) and their conditions are
// waited on together. Does not dispatch a window thread's events. `count` is 1..kMaxWaitObjects.
inline constexpr unsigned kMaxWaitObjects = 64;
DWORD WaitAny(Waitable* const* objects, unsigned count, DWORD milliseconds);

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

    // A waiter that does not sleep on the condition: a window thread's dispatcher or a thread in
    // WaitAny. Lives on the waiting thread's stack for the length of its wait (no allocation per
    // wait); `wake` must never block.
    struct Listener {
        void (*wake)(void* context);
        void* context;
        Listener* next;
    };

    // With `mutex` held, after the state changed: every waiter looks again.
    void NotifyAll() {
        changed_.notify_all();
        for (Listener* l = listeners_; l != nullptr; l = l->next) l->wake(l->context);
    }

    // With `mutex` held.
    void Listen(Listener* listener) {
        listener->next = listeners_;
        listeners_ = listener;
    }
    void Unlisten(Listener* listener) {
        for (Listener** p = &listeners_; *p != nullptr; p = &(*p)->next) {
            if (*p == listener) {
                *p = listener->next;
                return;
            }
        }
    }

private:
    static void WakeDispatcher(void* dispatcher) {
        static_cast<WaitDispatcher*>(dispatcher)->Wake();
    }

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

    Listener self{&WakeDispatcher, dispatcher, nullptr};
    Listen(&self);
    struct Unlink {
        std::unique_lock<std::mutex>& lock;
        WaitCore& core;
        Listener* node;
        ~Unlink() {
            if (!lock.owns_lock()) lock.lock();
            core.Unlisten(node);
        }
    } unlink{lock, *this, &self};

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

// The object behind `handle` if it is a T; otherwise nullptr with ERROR_INVALID_HANDLE set, which
// is what every call taking a handle reports for a closed, bogus or wrong-kind handle.
template <class T>
std::shared_ptr<T> LookupHandleOrFail(HANDLE handle) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace platform
