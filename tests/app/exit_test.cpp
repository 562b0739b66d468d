// The application lets go of the board's port when it ends, and holds it alone while it runs:
// many start-and-minimise cycles, and a second copy started beside a running transfer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/winserial.h"
#include "tests/support/listed_board.h"
#include "tests/support/probe_process.h"

namespace {

// vantra_app_probe running one scenario offscreen, its port found through `hive`.
struct Probe {
    Probe(const std::string& scenario, const std::string& hive)
        : process({VANTRA_APP_PROBE, scenario},
                  {"VANTRA_REGISTRY=" + hive, "QT_QPA_PLATFORM=offscreen"}) {}

    // Waits for the program to end (killing it after `timeoutMs`); false when it had to be
    // killed. Its "probe <key> <value>" lines are then read.
    bool Wait(int timeoutMs) {
        status = process.Finish(timeoutMs);
        return process.EndedByItself();
    }
    std::string Text(const std::string& key) const { return process.Text(key); }

    testutil::ProbeProcess process;
    int status = -1;
};

using testutil::ListedBoard;

// Whether this process can take the port (it lets it go again at once). The simulator tries
// the port's lock itself every 20 ms to see who has it, so one refusal is not enough.
bool PortIsFree(const std::string& path, int tries = 5) {
    const std::u16string wide(path.begin(), path.end());
    for (int i = 0; i < tries; ++i) {
        HANDLE port = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
            return true;
        }
        // A pause, not a wait: the next try must fall outside the simulator's brief hold.
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
    return false;
}

// Start-up takes eight seconds by design, so the cycles run in lanes side by side, each lane
// with a board of its own; the count is smaller under the sanitizers, which slow start-up.
TEST(Exit, EveryStartAndMinimiseCycleEndsWithStatus0AndThePortFree) {
    constexpr int kLanes = VANTRA_EXIT_CYCLES < 25 ? VANTRA_EXIT_CYCLES : 25;
    constexpr int kCyclesPerLane = VANTRA_EXIT_CYCLES / kLanes;
    static_assert(kLanes * kCyclesPerLane == VANTRA_EXIT_CYCLES);
    std::vector<std::unique_ptr<ListedBoard>> boards;
    for (int lane = 0; lane < kLanes; ++lane) {
        boards.push_back(std::make_unique<ListedBoard>(std::vector<std::string>{"--baud", "0"}));
        ASSERT_FALSE(boards.back()->sim->path.empty());
    }
    std::vector<std::string> failures[kLanes];
    std::vector<std::thread> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        lanes.emplace_back([&, lane] {
            const ListedBoard& board = *boards[lane];
            for (int cycle = 0; cycle < kCyclesPerLane; ++cycle) {
                Probe probe("minimise", board.hive);
                const bool ended = probe.Wait(90000);
                std::string why;
                if (!ended) why += " did not end;";
                if (probe.status != 0) why += " status " + std::to_string(probe.status) + ";";
                if (probe.Text("port-open") != "0") why += " port still open;";
                if (!PortIsFree(board.sim->path)) why += " port not free afterwards;";
                if (!why.empty())
                    failures[lane].push_back("lane " + std::to_string(lane) + " cycle " +
                                             std::to_string(cycle) + ":" + why);
            }
        });
    }
    for (std::thread& t : lanes) t.join();
    for (const auto& lane : failures) {
        for (const std::string& f : lane) ADD_FAILURE() << f;
    }
}

TEST(Exit, SecondCopyCannotTakeThePortOfARunningTransfer) {
    ListedBoard board({"--baud", "0"});
    ASSERT_FALSE(board.sim->path.empty());
    Probe first("transfer", board.hive);
    // The first copy has the port once this process can no longer open it.
    bool held = false;
    for (int i = 0; i < 3000 && !held; ++i) {
        held = !PortIsFree(board.sim->path, 3);
        // Paced, not polled flat out: each look takes the port for a moment, and the starting
        // copy must not find it taken.
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(held) << "the first copy never opened the port";

    Probe second("noboard", board.hive);
    ASSERT_TRUE(second.Wait(90000));
    EXPECT_EQ(second.Text("message"), "Cannot Open Connection To Board.");
    EXPECT_EQ(second.Text("version"), "0.00");
    EXPECT_EQ(second.status, 0);

    ASSERT_TRUE(first.Wait(120000));
    EXPECT_EQ(first.Text("round1-outcome"), "Transfer Complete.");
    EXPECT_EQ(first.status, 0);
    int status = -1;
    const std::string summary = board.Finish(&status);
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
}

}  // namespace
