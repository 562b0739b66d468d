// The window and the computer around it: SIGTERM and SIGHUP wait for a transfer's verdict, at
// rest every way out ends the program with the port free for the next user, logind's lock is
// held from the first block to the verdict, and a nearly flat battery refuses the upgrade.
// logind and UPower are python3-dbusmock's on a private system bus (tests/support/host_bus.h).
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_bus.h"
#include "tests/support/listed_board.h"
#include "tests/support/probe_process.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"
#include "tests/support/wedged_bus.h"
#include "tests/support/x_desktop.h"

namespace {

using testutil::ListedBoard;

std::unique_ptr<testutil::ProbeProcess> Probe(const std::string& scenario, const ListedBoard& board,
                                              std::vector<std::string> env) {
    env.push_back("VANTRA_REGISTRY=" + board.hive);
    return std::make_unique<testutil::ProbeProcess>(
        std::vector<std::string>{VANTRA_APP_PROBE, scenario}, env);
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// On a desktop, at the line's real speed, so the transfer is running when the signals come
// (block 50 or so, then block 80): the board gets the whole image, the verdict is shown, and the
// program ends once it is dismissed. logind's lock and the portal's logout inhibition (naming
// the window) are held during the transfer and gone as soon as the verdict is known, while its
// box is still up.
TEST(HostWindow, SigtermAndSighupDuringATransferWaitForTheVerdict) {
    const std::string missing = testsupport::XDesktop::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    testsupport::XDesktop desktop;
    ASSERT_TRUE(desktop.Start()) << desktop.Error();
    testutil::HostBus host;
    ASSERT_EQ(host.Error(), "");
    testutil::PortalMock portal;
    ASSERT_EQ(portal.Error(), "");
    ListedBoard board({"--baud", "38400"});
    const std::string dismiss = testutil::TempPath("dismiss");
    auto probe = Probe("held", board,
                       {"DISPLAY=" + desktop.Display(), "QT_QPA_PLATFORM=xcb",
                        "LSAN_OPTIONS=suppressions=" VANTRA_LSAN_SUPPRESSIONS,
                        "VANTRA_PROBE_DISMISS=" + dismiss});
    ASSERT_TRUE(probe->WaitFor("transfer-start", 60000));
    Sleep(1900);  // about 50 blocks of 37.5 ms
    ::kill(probe->Pid(), SIGTERM);
    const std::vector<std::string> locks = host.Inhibitors();
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].substr(0, locks[0].find('|')),
              "sleep:shutdown:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
              "handle-lid-switch");
    EXPECT_EQ(locks[0].substr(locks[0].rfind('|')), "|block");
    char window[32];
    std::snprintf(window, sizeof window, "x11:%llx",
                  static_cast<unsigned long long>(probe->Number("winid")));
    EXPECT_NE(portal.Log().find(std::string("Inhibit \"") + window + "\" 13 "),
              std::string::npos)
        << portal.Log();
    EXPECT_NE(portal.Log().find("A firmware upgrade is in progress"), std::string::npos);
    Sleep(1100);
    ::kill(probe->Pid(), SIGHUP);

    ASSERT_TRUE(probe->WaitFor("outcome", 60000));
    EXPECT_EQ(probe->Text("outcome"), "Transfer Complete.");
    EXPECT_EQ(probe->Number("progress"), 100);
    EXPECT_TRUE(host.Inhibitors().empty());  // released at the verdict, the box still up
    EXPECT_NE(portal.Log().find("Close"), std::string::npos) << portal.Log();
    EXPECT_TRUE(probe->Running());
    std::ofstream(dismiss) << "";
    EXPECT_EQ(probe->Finish(30000), 0);
    EXPECT_TRUE(probe->EndedByItself());
    EXPECT_EQ(probe->Text("port-open"), "0");
    const std::string summary = board.Finish();
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
    std::remove(dismiss.c_str());
}

// Wall-clock milliseconds of the board's first "trace MS frame FB 0" line, or -1.
long long FirstBlockMs(const std::string& trace) {
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        long long ms = -1;
        char what[32] = {};
        if (std::sscanf(line.c_str(), "trace %lld %31[^\n]", &ms, what) == 2 &&
            std::string(what) == "frame FB 0")
            return ms;
    }
    return -1;
}

// A system bus that takes the connection and never answers: LOAD's checks wait out their one
// deadline off the window's thread. The window answers the desktop's pings meanwhile, and the
// first block goes out within 3 s of LOAD; a SIGTERM during the checks refuses the upgrade, and
// the program ends as at rest, with nothing sent.
TEST(HostWindow, AWedgedBusNeitherFreezesTheWindowNorLetsASignalThrough) {
    const std::string missing = testsupport::XDesktop::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    for (const bool signal : {false, true}) {
        SCOPED_TRACE(signal ? "SIGTERM during the checks" : "left alone");
        testsupport::XDesktop desktop;
        ASSERT_TRUE(desktop.Start()) << desktop.Error();
        testutil::WedgedBus bus;
        ASSERT_EQ(bus.Error(), "");
        ListedBoard board({"--baud", "0"}, true);
        const std::string dismiss = testutil::TempPath("dismiss");
        std::ofstream(dismiss) << "";  // the outcome box is dismissed as soon as it is up
        auto probe = Probe("held", board,
                           {"DISPLAY=" + desktop.Display(), "QT_QPA_PLATFORM=xcb",
                            "LSAN_OPTIONS=suppressions=" VANTRA_LSAN_SUPPRESSIONS,
                            "VANTRA_PROBE_DISMISS=" + dismiss});
        ASSERT_TRUE(probe->WaitFor("transfer-start", 60000));
        const long long load = probe->Number("transfer-start");
        Sleep(300);
        const long answered =
            desktop.Ping(static_cast<std::uint32_t>(probe->Number("winid")), 1000);
        EXPECT_GE(answered, 0) << "the window did not answer while the bus was asked";
        if (signal) {
            ::kill(probe->Pid(), SIGTERM);
        } else {
            EXPECT_TRUE(probe->WaitFor("transfer-end", 60000));
            ::kill(probe->Pid(), SIGTERM);  // at rest now: the window ends
        }

        EXPECT_EQ(probe->Finish(60000), 0);
        EXPECT_EQ(probe->Text("port-open"), "0");
        const std::string summary = board.Finish();
        if (signal) {
            EXPECT_FALSE(probe->Has("outcome"));
            EXPECT_NE(summary.find("blocks=0 "), std::string::npos) << summary;
        } else {
            EXPECT_EQ(probe->Text("outcome"), "Transfer Complete.");
            const long long first = FirstBlockMs(board.trace);
            ASSERT_GT(first, 0) << summary;
            EXPECT_LT(first - load, 3000);
            EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
        }
        std::remove(dismiss.c_str());
    }
}

// On a battery at 5 %: the box says so, LOAD is given back, and nothing reaches the board.
TEST(HostWindow, LowBatteryRefusesTheUpgrade) {
    testutil::HostBus host({true, true, 5});
    ASSERT_EQ(host.Error(), "");
    ListedBoard board({"--baud", "0"});
    auto probe = Probe("transfer", board, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(probe->Finish(60000), 0);
    EXPECT_EQ(probe->Text("round1-outcome"),
              "Battery Too Low. Connect The Charger Before Upgrading.");
    EXPECT_EQ(probe->Text("round1-load-enabled-after"), "1");
    const std::string summary = board.Finish();
    EXPECT_NE(summary.find("blocks=0 "), std::string::npos) << summary;
}

// At rest, on a desktop: SIGTERM, the title bar's close button, Alt+F4, and Ctrl-C during
// start-up each end the program with status 0, and the port's exclusive mode goes with it:
// another account opens it at once.
TEST(HostWindow, EveryWayOutAtRestLeavesThePortFreeForAnotherAccount) {
    const std::string missing = testsupport::XDesktop::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    testsupport::XDesktop desktop;
    ASSERT_TRUE(desktop.Start()) << desktop.Error();
    const char* ways[] = {"SIGINT during start-up", "SIGTERM", "close button", "Alt+F4"};
    std::vector<std::unique_ptr<ListedBoard>> boards;
    std::vector<std::unique_ptr<testutil::ProbeProcess>> probes;
    for (int i = 0; i < 4; ++i) {  // started side by side: start-up takes eight seconds
        boards.push_back(std::make_unique<ListedBoard>(std::vector<std::string>{"--baud", "0"}));
        probes.push_back(Probe("idle", *boards.back(),
                               {"DISPLAY=" + desktop.Display(), "QT_QPA_PLATFORM=xcb",
                                "LSAN_OPTIONS=suppressions=" VANTRA_LSAN_SUPPRESSIONS}));
    }
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(ways[i]);
        testutil::ProbeProcess& probe = *probes[i];
        if (i == 0) {
            // Once the program holds the port, in its first pause.
            ASSERT_TRUE(testutil::WaitUntil(
                [&] { return testutil::OpenErrorForAnotherAccount(boards[i]->sim->path) == EBUSY; },
                60000));
            ::kill(probe.Pid(), SIGINT);
            EXPECT_EQ(probe.Finish(30000), 0);
            EXPECT_TRUE(probe.EndedByItself());
            EXPECT_EQ(probe.Text("port-open"), "0");
            EXPECT_EQ(testutil::OpenErrorForAnotherAccount(boards[i]->sim->path), 0);
            continue;
        }
        ASSERT_TRUE(probe.WaitFor("ready", 60000));
        const auto window = static_cast<std::uint32_t>(probe.Number("winid"));
        if (i == 1) {
            ::kill(probe.Pid(), SIGTERM);
        } else if (i == 2) {
            desktop.RequestClose(window);
        } else {
            ASSERT_TRUE(desktop.Click(window, 120, 60));  // the keys go to the focused window
            ASSERT_TRUE(desktop.Key("alt+F4"));
        }
        EXPECT_EQ(probe.Finish(30000), 0);
        EXPECT_TRUE(probe.EndedByItself());
        EXPECT_EQ(probe.Text("port-open"), "0");
        EXPECT_EQ(testutil::OpenErrorForAnotherAccount(boards[i]->sim->path), 0);
    }
}

}  // namespace
