#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/core/handles.h"
#include "platform/host_signals.h"
#include "platform/trace.h"

namespace platform {
namespace {

constexpr int kMaxSignal = 65;

// Written by the handler, which may run on any thread at any moment: lock-free atomics and a
// pipe, nothing else.
struct Noted {
    std::atomic<unsigned> count{0};
    std::atomic<DWORD> firstTick{0};
    std::atomic<DWORD> lastTick{0};
};
Noted g_noted[kMaxSignal];
std::atomic<int> g_pending{0};     // signals noted and not taken, over all numbers
int g_pipe[2] = {-1, -1};

static_assert(std::atomic<unsigned>::is_always_lock_free && std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<DWORD>::is_always_lock_free);

// GetTickCount's clock, read in a way a signal handler may use.
DWORD HandlerTick() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000u +
                              static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
}

void OnSignal(int number) {
    const int savedErrno = errno;
    if (number > 0 && number < kMaxSignal) {
        Noted& n = g_noted[number];
        const DWORD now = HandlerTick();
        if (n.count.load() == 0) n.firstTick.store(now);
        n.lastTick.store(now);
        if (n.count.fetch_add(1) == 0) g_pending.fetch_add(1);
        // The ring takes an event without a lock or an allocation, so the handler may trace.
        Trace(TraceKind::SignalCaught, {number});
        const char byte = static_cast<char>(number);
        [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);  // full: one is enough
    }
    errno = savedErrno;
}

// The handle that waits end on: claimed while a signal is pending, the pipe polled meanwhile.
class CaughtSignals final : public Waitable {
public:
    DWORD Wait(DWORD milliseconds) override {
        Waitable* self = this;
        return WaitAny(&self, 1, milliseconds);
    }
    WaitCore& Core() override { return core_; }
    bool TryClaim(unsigned long long) override { return g_pending.load() != 0; }
    int BeginPoll() override { return g_pipe[0]; }

private:
    WaitCore core_;
};

std::once_flag g_once;
HANDLE g_handle = nullptr;

}  // namespace

HANDLE CatchSignals(std::initializer_list<int> signals) {
    std::call_once(g_once, [] {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        g_handle = InsertHandle(std::make_shared<CaughtSignals>());
    });
    if (g_handle == nullptr) return nullptr;
    for (const int number : signals) {
        if (number <= 0 || number >= kMaxSignal) continue;
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigfillset(&sa.sa_mask);  // one handler at a time keeps a signal's times in step
        sa.sa_flags = 0;
        ::sigaction(number, &sa, nullptr);
    }
    return g_handle;
}

int CaughtSignalsDescriptor() {
    return g_pipe[0];
}

bool CaughtSignalPending() {
    return g_pending.load() != 0;
}

namespace {
bool TakeNoted(int number, CaughtSignal* out) {
    Noted& n = g_noted[number];
    if (n.count.load() == 0) return false;
    out->number = number;
    out->firstTick = n.firstTick.load();
    out->lastTick = n.lastTick.load();
    out->count = n.count.exchange(0);
    g_pending.fetch_sub(1);
    return true;
}
}  // namespace

bool TakeCaughtSignal(CaughtSignal* out) {
    if (g_pipe[0] < 0) return false;
    // Drained first: a signal arriving after this writes again, so no wake-up is lost.
    char bytes[64];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    for (int number = 1; number < kMaxSignal; ++number) {
        if (TakeNoted(number, out)) return true;
    }
    return false;
}

// The pipe is left as it is: its bytes still wake whoever watches for the others.
bool TakeCaughtSignal(int number, CaughtSignal* out) {
    return g_pipe[0] >= 0 && number > 0 && number < kMaxSignal && TakeNoted(number, out);
}

void RestoreSignal(int signal) {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    ::sigaction(signal, &sa, nullptr);
}

}  // namespace platform
