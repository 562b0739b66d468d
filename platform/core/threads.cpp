#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include "platform/core/handles.h"
#include "platform/wincore.h"

namespace platform {
namespace {

class ThreadObject final : public Waitable {
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
        : start_(start), parameter_(parameter), suspendCount_(suspended ? 1 : 0) {}

    DWORD Resume() {
        std::lock_guard lock(core_.mutex);
        DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0) core_.NotifyAll();
        return previous;
    }

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock lock(core_.mutex);
        return core_.WaitFor(lock, milliseconds, [&] { return finished_; }) ? WAIT_OBJECT_0
                                                                            : WAIT_TIMEOUT;
    }

    WaitCore& Core() override { return core_; }
    bool TryClaim(unsigned long long) override { return finished_; }

    DWORD ExitCode() {
        std::lock_guard lock(core_.mutex);
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }

    // Body of the new thread; `self` keeps the object alive until the procedure has returned.
    static void* Run(void* arg) {
        auto* holder = static_cast<std::shared_ptr<ThreadObject>*>(arg);
        std::shared_ptr<ThreadObject> self = std::move(*holder);
        delete holder;
        {
            std::unique_lock lock(self->core_.mutex);
            self->core_.WaitFor(lock, INFINITE, [&] { return self->suspendCount_ == 0; });
        }
        DWORD code = self->start_(self->parameter_);
        std::lock_guard lock(self->core_.mutex);
        self->exitCode_ = code;
        self->finished_ = true;
        self->core_.NotifyAll();
        return nullptr;
    }

private:
    WaitCore core_;
    LPTHREAD_START_ROUTINE start_;
    LPVOID parameter_;
    DWORD suspendCount_;
    bool finished_ = false;
    DWORD exitCode_ = 0;
};

}  // namespace
}  // namespace platform

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object =
        std::make_shared<platform::ThreadObject>(start, parameter, (flags & CREATE_SUSPENDED) != 0);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize < 65536 ? 65536 : stackSize);
    auto* holder = new std::shared_ptr<platform::ThreadObject>(object);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, &platform::ThreadObject::Run, holder);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete holder;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = static_cast<DWORD>(tid);  // an identifier, not a kernel id
    return platform::InsertHandle(std::move(object));
}

DWORD ResumeThread(HANDLE thread) {
    auto object = platform::LookupHandleOrFail<platform::ThreadObject>(thread);
    if (!object) return 0xFFFFFFFFu;
    return object->Resume();
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto object = platform::LookupHandleOrFail<platform::ThreadObject>(thread);
    if (!object) return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(::syscall(SYS_gettid));
}
