#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>

#include "platform/core/handles.h"
#include "platform/wincore.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// One wake-up descriptor a thread, made at its first multi-object wait and closed when it ends,
// so a wait costs no allocation and no descriptor of its own.
class ThreadWakeFd {
public:
    ~ThreadWakeFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() {
        if (fd_ < 0) fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        return fd_;
    }

private:
    int fd_ = -1;
};
thread_local ThreadWakeFd threadWakeFd;

// Non-blocking descriptor: a waker never waits for the waiter.
void WakeFd(void* fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(*static_cast<int*>(fd), &one, sizeof one);
}

void DrainFd(int fd) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
}

// Milliseconds for poll(), rounded up so a wait never ends before its deadline; -1 for none.
int PollTimeout(bool infinite, Clock::time_point deadline) {
    if (infinite) return -1;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

DWORD WaitAny(Waitable* const* objects, unsigned count, DWORD milliseconds) {
    int wakeFd = threadWakeFd.Get();
    if (wakeFd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    const bool infinite = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);

    // Listening before the first look means no change between the look and the sleep is missed.
    WaitCore::Listener listeners[kMaxWaitObjects];
    unsigned long long begun[kMaxWaitObjects];
    for (unsigned i = 0; i < count; ++i) {
        std::lock_guard lock(objects[i]->Core().mutex);
        listeners[i] = {&WakeFd, &wakeFd, nullptr};
        objects[i]->Core().Listen(&listeners[i]);
        begun[i] = objects[i]->WaitBegins();
    }

    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        for (unsigned i = 0; i < count && result == WAIT_TIMEOUT; ++i) {
            std::lock_guard lock(objects[i]->Core().mutex);
            if (objects[i]->TryClaim(begun[i])) result = WAIT_OBJECT_0 + i;
        }
        if (result != WAIT_TIMEOUT) break;
        const int timeout = PollTimeout(infinite, deadline);
        if (timeout == 0) break;

        pollfd fds[kMaxWaitObjects + 1];
        bool polled[kMaxWaitObjects];
        nfds_t n = 0;
        fds[n++] = {wakeFd, POLLIN, 0};
        for (unsigned i = 0; i < count; ++i) {
            const int fd = objects[i]->BeginPoll();
            polled[i] = fd >= 0;
            if (polled[i]) fds[n++] = {fd, POLLIN, 0};
        }
        ::poll(fds, n, timeout);
        for (unsigned i = 0; i < count; ++i) {
            if (polled[i]) objects[i]->EndPoll();
        }
        if (fds[0].revents & POLLIN) DrainFd(wakeFd);
    }

    for (unsigned i = 0; i < count; ++i) {
        std::lock_guard lock(objects[i]->Core().mutex);
        objects[i]->Core().Unlisten(&listeners[i]);
    }
    return result;
}

}  // namespace platform
