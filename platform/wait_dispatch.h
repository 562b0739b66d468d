// The hook that keeps a window-system thread serving its windows while it waits. A thread that
// owns windows installs a dispatcher; from then on its waits on events and threads (the
// transfer's acknowledgement wait, the frame's pauses) run the dispatcher instead of sleeping,
// and return as soon as the object is signalled, exactly as a plain wait would.
#pragma once

#include <chrono>

namespace platform {

class WaitDispatcher {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // Whether waits on this thread should dispatch now (false: a plain wait).
    virtual bool Active() = 0;
    // Serves the window system until Wake() is called, `deadline` passes, or some work was done;
    // may return early. Called on the installing thread with no lock held.
    virtual void Dispatch(Deadline deadline) = 0;
    // From any thread, never blocks: makes a Dispatch under way (or the next one) return soon.
    virtual void Wake() = 0;

protected:
    ~WaitDispatcher() = default;
};

// Installs `dispatcher` for the calling thread (nullptr removes it); returns the previous one.
WaitDispatcher* SetThreadWaitDispatcher(WaitDispatcher* dispatcher);

}  // namespace platform
