#include <chrono>
#include <mutex>
#include <thread>

#include "platform/core/handles.h"
#include "platform/wincore.h"

namespace platform {
namespace {

class Event final : public Waitable {
public:
    Event(bool manualReset, bool initialState) : manual_(manualReset), signalled_(initialState) {}

    void Set() {
        std::lock_guard lock(core_.mutex);
        signalled_ = true;
        core_.NotifyAll();
    }

    void Reset() {
        std::lock_guard lock(core_.mutex);
        signalled_ = false;
    }

    void Pulse() {
        std::lock_guard lock(core_.mutex);
        // Waiters remember the pulse count they started with; bumping it releases exactly the
        // threads waiting now, and the event is left non-signalled for anyone who comes later.
        ++pulses_;
        signalled_ = false;
        core_.NotifyAll();
    }

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock lock(core_.mutex);
        const unsigned long long pulsesAtStart = pulses_;
        auto released = [&] { return signalled_ || pulses_ != pulsesAtStart; };
        if (!core_.WaitFor(lock, milliseconds, released)) return WAIT_TIMEOUT;
        if (!manual_ && signalled_) signalled_ = false;
        return WAIT_OBJECT_0;
    }

    WaitCore& Core() override { return core_; }
    unsigned long long WaitBegins() override { return pulses_; }
    bool TryClaim(unsigned long long pulsesAtStart) override {
        if (!signalled_ && pulses_ == pulsesAtStart) return false;
        if (!manual_) signalled_ = false;
        return true;
    }

private:
    WaitCore core_;
    const bool manual_;
    bool signalled_;
    unsigned long long pulses_ = 0;
};

template <class F>
BOOL WithEvent(HANDLE handle, F f) {
    std::shared_ptr<Event> event = LookupHandleOrFail<Event>(handle);
    if (!event) return FALSE;
    f(*event);
    return TRUE;
}

}  // namespace
}  // namespace platform

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr) {  // named events are shared between processes; nothing here needs one
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return platform::InsertHandle(
        std::make_shared<platform::Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
    return platform::WithEvent(event, [](platform::Event& e) { e.Set(); });
}

BOOL ResetEvent(HANDLE event) {
    return platform::WithEvent(event, [](platform::Event& e) { e.Reset(); });
}

BOOL PulseEvent(HANDLE event) {
    return platform::WithEvent(event, [](platform::Event& e) { e.Pulse(); });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<platform::Waitable> object =
        platform::LookupHandleOrFail<platform::Waitable>(handle);
    if (!object) return WAIT_FAILED;
    return object->Wait(milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > platform::kMaxWaitObjects || handles == nullptr || waitAll) {
        SetLastError(waitAll ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The references keep every object alive through the wait, even if its handle is closed.
    std::shared_ptr<platform::Waitable> held[platform::kMaxWaitObjects];
    platform::Waitable* objects[platform::kMaxWaitObjects];
    for (DWORD i = 0; i < count; ++i) {
        held[i] = platform::LookupHandleOrFail<platform::Waitable>(handles[i]);
        if (!held[i]) return WAIT_FAILED;
        objects[i] = held[i].get();
    }
    return platform::WaitAny(objects, count, milliseconds);
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    using namespace std::chrono;
    if (count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    count->QuadPart = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    frequency->QuadPart = 1'000'000;
    return TRUE;
}
