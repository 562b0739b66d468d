#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wait_dispatch.h"
#include "platform/wincore.h"
#include "tests/support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct EventHandle {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~EventHandle() { CloseHandle(h); }
};

TEST(Events, ManualResetStaysSignalledUntilReset) {
    EventHandle e;
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e.h));
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e.h, 10), WAIT_OBJECT_0);  // a wait does not consume it
    ASSERT_TRUE(ResetEvent(e.h));
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(Events, InitialStateIsHonoured) {
    HANDLE on = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(on, 0), WAIT_OBJECT_0);
    CloseHandle(on);
}

TEST(Events, SignalFromAnotherThreadWakesWaiterPromptly) {
    EventHandle e;
    auto start = Clock::now();
    const long waiter = testutil::ThisThreadId();
    std::thread t([&] {
        EXPECT_TRUE(testutil::WaitUntil([&] { return testutil::ThreadIsAsleep(waiter); }));
        SetEvent(e.h);
    });
    EXPECT_EQ(WaitForSingleObject(e.h, 5000), WAIT_OBJECT_0);
    EXPECT_LT(ElapsedMs(start), 4000);  // woken by the signal, not by the time-out
    t.join();
}

TEST(Events, SignalSetBeforeWaitIsNotLost) {
    EventHandle e;
    std::thread t([&] { SetEvent(e.h); });
    t.join();
    EXPECT_EQ(WaitForSingleObject(e.h, 1000), WAIT_OBJECT_0);
}

TEST(Events, PulseReleasesCurrentWaitersAndLeavesEventReset) {
    EventHandle e;
    std::atomic<int> released{0};
    std::atomic<long> tids[3] = {0, 0, 0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&, i] {
            tids[i] = testutil::ThisThreadId();
            const auto start = Clock::now();
            // Counted only when woken well before the time-out, which would also report the pulse.
            if (WaitForSingleObject(e.h, 5000) == WAIT_OBJECT_0 && ElapsedMs(start) < 4000)
                ++released;
        });
    }
    // All three are inside their wait once each has started and is asleep.
    EXPECT_TRUE(testutil::WaitUntil([&] {
        for (const auto& tid : tids) {
            if (tid.load() == 0 || !testutil::ThreadIsAsleep(tid.load())) return false;
        }
        return true;
    }));
    ASSERT_TRUE(PulseEvent(e.h));
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);  // nobody later sees the pulse
}

TEST(Events, PulseWithNoWaiterIsLost) {
    EventHandle e;
    PulseEvent(e.h);
    EXPECT_EQ(WaitForSingleObject(e.h, 20), WAIT_TIMEOUT);
}

TEST(Events, TimeoutFiresWithinGenerousMargin) {
    EventHandle e;
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e.h, 100), WAIT_TIMEOUT);
    long ms = ElapsedMs(start);
    EXPECT_GE(ms, 100);
    EXPECT_LT(ms, 3000);
}

TEST(Events, AutoResetEventReleasesOneWaitAtATime) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

// One wait over several objects: the lowest released index wins, an auto-reset event is taken
// only when it is the one that released the wait, and bad arguments fail rather than wait.
TEST(Events, WaitForMultipleObjectsReportsTheLowestReleasedObject) {
    EventHandle a, b;
    HANDLE autoReset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[] = {a.h, b.h, autoReset};
    EXPECT_EQ(WaitForMultipleObjects(3, both, FALSE, 20), WAIT_TIMEOUT);
    SetEvent(b.h);
    SetEvent(autoReset);
    EXPECT_EQ(WaitForMultipleObjects(3, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);  // untouched by that wait
    SetEvent(a.h);
    EXPECT_EQ(WaitForMultipleObjects(3, both, FALSE, 0), WAIT_OBJECT_0);
    CloseHandle(autoReset);

    HANDLE bogus[] = {a.h, reinterpret_cast<HANDLE>(0x12345678)};
    struct Bad {
        DWORD count;
        const HANDLE* handles;
        BOOL all;
        DWORD error;
    } bad[] = {{2, bogus, FALSE, ERROR_INVALID_HANDLE},
               {0, both, FALSE, ERROR_INVALID_PARAMETER},
               {65, both, FALSE, ERROR_INVALID_PARAMETER},
               {1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
               {2, both, TRUE, ERROR_NOT_SUPPORTED}};
    for (const Bad& c : bad) {
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED) << c.count;
        EXPECT_EQ(GetLastError(), c.error) << c.count;
    }
}

TEST(Events, MultiObjectWaitIsWokenBySetPulseAndThreadEnd) {
    EventHandle idle, raised;
    std::atomic<int> step{0};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* s = static_cast<std::atomic<int>*>(p);
            while (s->load() < 3) std::this_thread::yield();
            return 0;
        },
        &step, 0, nullptr);
    HANDLE objects[] = {idle.h, raised.h, thread};
    const long waiter = testutil::ThisThreadId();
    for (int round = 0; round < 3; ++round) {
        std::thread waker([&] {
            EXPECT_TRUE(testutil::WaitUntil([&] { return testutil::ThreadIsAsleep(waiter); }));
            if (round == 0) SetEvent(raised.h);
            if (round == 1) PulseEvent(raised.h);
            if (round == 2) step.store(3);
        });
        const DWORD want = round == 2 ? WAIT_OBJECT_0 + 2 : WAIT_OBJECT_0 + 1;
        const auto start = Clock::now();
        EXPECT_EQ(WaitForMultipleObjects(3, objects, FALSE, 5000), want) << round;
        EXPECT_LT(ElapsedMs(start), 4000) << round;  // woken, not found at the time-out
        waker.join();
        ResetEvent(raised.h);
    }
    PulseEvent(raised.h);  // nobody waits: lost, as for a single wait
    EXPECT_EQ(WaitForMultipleObjects(2, objects, FALSE, 20), WAIT_TIMEOUT);
    CloseHandle(thread);
}

TEST(Handles, ClosedOrBogusHandleFailsCleanly) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_FALSE(PulseEvent(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x12345678), 0), WAIT_FAILED);
}

TEST(Handles, ClosedHandleIsNeverHandedOutAgain) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(first);
    for (int i = 0; i < 1000; ++i) {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(h, first);
        CloseHandle(h);
    }
    EXPECT_FALSE(SetEvent(first));
}

TEST(Handles, NamedEventsAreRefused) {
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"shared"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

}  // namespace

// Stands in for a window system's event loop: sleeps until woken or the deadline.
class LoopDispatcher final : public platform::WaitDispatcher {
public:
    explicit LoopDispatcher(bool active) : active_(active) {}
    bool Active() override { return active_; }
    void Dispatch(Deadline deadline) override {
        std::unique_lock lock(mutex_);
        ++rounds;
        woken_.wait_until(lock, deadline, [&] { return wake_; });
        wake_ = false;
    }
    void Wake() override {
        std::lock_guard lock(mutex_);
        wake_ = true;
        woken_.notify_all();
    }
    int rounds = 0;

private:
    const bool active_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
};

TEST(Events, WaitsOnADispatchingThreadServeItAndEndAsPlainWaits) {
    enum Act { kSet, kPulse, kNothing };
    const struct {
        bool active;
        Act act;
        DWORD expect;
        bool dispatches;
    } rows[] = {
        {true, kSet, WAIT_OBJECT_0, true},
        {true, kPulse, WAIT_OBJECT_0, true},
        {true, kNothing, WAIT_TIMEOUT, true},
        {false, kSet, WAIT_OBJECT_0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "active " << row.active << " act " << row.act);
        EventHandle e;
        LoopDispatcher dispatcher(row.active);
        platform::SetThreadWaitDispatcher(&dispatcher);
        const long waiter = testutil::ThisThreadId();
        std::thread other([&] {
            // Asleep in the dispatcher (or, for a plain wait, on the event): the wait has begun.
            EXPECT_TRUE(testutil::WaitUntil([&] { return testutil::ThreadIsAsleep(waiter); }));
            if (row.act == kSet) SetEvent(e.h);
            if (row.act == kPulse) PulseEvent(e.h);
        });
        const auto start = Clock::now();
        const DWORD result = WaitForSingleObject(e.h, row.act == kNothing ? 200 : 5000);
        const long elapsed = ElapsedMs(start);
        other.join();
        platform::SetThreadWaitDispatcher(nullptr);
        EXPECT_EQ(result, row.expect);
        EXPECT_EQ(dispatcher.rounds > 0, row.dispatches);
        if (row.act == kNothing) {
            EXPECT_GE(elapsed, 200);
        } else {
            EXPECT_LT(elapsed, 4000);  // released by the signal: the dispatcher was woken for it
        }
    }
}
