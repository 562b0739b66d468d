// The host's bus calls where no answer comes: each gives up at its deadline, not at sd-bus's own
// time-outs (90 s for authentication), and a signal on the way does not end it early. The
// portal is python3-dbusmock's on this program's own session bus (tests/support/session_bus.cpp).
#include "platform/host_power.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>

#include "tests/support/host_bus.h"
#include "tests/support/wedged_bus.h"

namespace {

constexpr int kDeadlineMs = 500;

void Noted(int) {}

// How long `call` took, given a deadline kDeadlineMs away and a caught signal (no SA_RESTART, as
// the programs catch theirs) a fifth of the way there.
template <class Call>
int MillisecondsWithASignalOnTheWay(Call call) {
    struct sigaction caught {};
    caught.sa_handler = Noted;
    struct sigaction before {};
    ::sigaction(SIGALRM, &caught, &before);
    const itimerval once{{0, 0}, {0, kDeadlineMs * 200}};
    ::setitimer(ITIMER_REAL, &once, nullptr);
    const auto start = std::chrono::steady_clock::now();
    call(platform::BusDeadlineAfter(kDeadlineMs));
    const auto took = std::chrono::steady_clock::now() - start;
    ::sigaction(SIGALRM, &before, nullptr);
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
}

// The window's portal request: begun on a session bus that never answers, it is not had; ended
// at the verdict while the portal has hung, the verdict waits no longer than its deadline.
TEST(HostPower, ThePortalsCallsEndAtTheirDeadlineWhenNoAnswerComes) {
    testutil::PortalMock portal;
    ASSERT_EQ(portal.Error(), "");
    platform::PortalInhibit* request =
        platform::BeginPortalInhibit("", 8, "test", platform::BusDeadlineAfter(10000));
    ASSERT_NE(request, nullptr);
    ::kill(portal.Pid(), SIGSTOP);
    const int closing = MillisecondsWithASignalOnTheWay(
        [&](platform::BusDeadline deadline) { platform::EndPortalInhibit(request, deadline); });
    ::kill(portal.Pid(), SIGCONT);

    testutil::WedgedBus wedged("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_EQ(wedged.Error(), "");
    platform::PortalInhibit* never = nullptr;
    const int beginning = MillisecondsWithASignalOnTheWay([&](platform::BusDeadline deadline) {
        never = platform::BeginPortalInhibit("", 8, "test", deadline);
    });
    EXPECT_EQ(never, nullptr);
    EXPECT_EQ(wedged.Connections(), 1);

    std::printf("Close on a hung portal: %d ms; Inhibit on a wedged bus: %d ms (deadline %d ms)\n",
                closing, beginning, kDeadlineMs);
    for (const int ms : {closing, beginning}) {
        EXPECT_GE(ms, kDeadlineMs - 10);  // not cut short by the signal
        EXPECT_LT(ms, kDeadlineMs + 1000);
    }
}

}  // namespace
