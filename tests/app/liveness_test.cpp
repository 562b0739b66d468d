// The window stays alive through an upgrade, on a real X server with a window manager and the
// board at its real line speed: the desktop's pings are answered, beeps sound as blocks are
// acknowledged, and nothing the user or the desktop does interrupts or re-enters the transfer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/listed_board.h"
#include "tests/support/probe_process.h"
#include "tests/support/x_desktop.h"

namespace {

using Clock = std::chrono::steady_clock;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string StartupId() {
    return "vantra-liveness-test_TIME" + std::to_string(::getpid());
}

// vantra_app_probe on the test's display (the suite itself runs offscreen), its port found
// through `hive`, started as a launcher starts it.
std::unique_ptr<testutil::ProbeProcess> StartOnDisplay(const std::string& scenario,
                                                       const std::string& display,
                                                       const std::string& hive) {
    return std::make_unique<testutil::ProbeProcess>(
        std::vector<std::string>{VANTRA_APP_PROBE, scenario},
        std::vector<std::string>{"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb",
                                 "VANTRA_REGISTRY=" + hive,
                                 "LSAN_OPTIONS=suppressions=" VANTRA_LSAN_SUPPRESSIONS,
                                 "DESKTOP_STARTUP_ID=" + StartupId()});
}

long long TraceTime(const std::string& file, const std::string& event) {
    std::ifstream in(file);
    std::string word, rest;
    long long ms;
    while (in >> word >> ms && std::getline(in, rest)) {
        if (word == "trace" && rest.substr(1) == event) return ms;
    }
    return -1;
}

class Liveness : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = testsupport::XDesktop::Missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
        ASSERT_TRUE(desktop_.Start()) << desktop_.Error();
        std::vector<std::string> args = {"--baud", "38400", "--exit-on-close"};
        const std::vector<std::string> faults = BoardFaults();
        args.insert(args.end(), faults.begin(), faults.end());
        board_ = std::make_unique<testutil::ListedBoard>(args, true);
        ASSERT_FALSE(board_->sim->path.empty());
    }

    // Starts the probe and waits for its window; the transfer starts a second later.
    std::unique_ptr<testutil::ProbeProcess> StartProbe(const std::string& scenario) {
        auto probe = StartOnDisplay(scenario, desktop_.Display(), board_->hive);
        EXPECT_TRUE(probe->WaitFor("winid", 40000)) << "the window never appeared";
        window_ = static_cast<std::uint32_t>(probe->Number("winid"));
        return probe;
    }

    // Pings the window every 1.5 s until the probe reports `until`; every answer's delay.
    std::vector<long> PingUntil(testutil::ProbeProcess& probe, const std::string& until,
                                const std::map<int, std::function<void()>>& actsAtSecond) {
        std::vector<long> answers;
        const auto start = Clock::now();
        auto act = actsAtSecond.begin();
        while (!probe.Has(until) && Clock::now() - start < std::chrono::seconds(90)) {
            const int second = static_cast<int>(
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
            if (act != actsAtSecond.end() && second >= act->first) {
                act->second();
                ++act;
            }
            answers.push_back(desktop_.Ping(window_, 3000));
            for (int i = 0; i < 30 && !probe.Has(until); ++i) {
                if (!probe.Read(50)) break;
            }
        }
        return answers;
    }

    std::string Summary(int* status) { return board_->Finish(status); }
    virtual std::vector<std::string> BoardFaults() const { return {}; }

    testsupport::XDesktop desktop_;
    std::unique_ptr<testutil::ListedBoard> board_;
    std::uint32_t window_ = 0;
};

void ExpectAllAnsweredWithinASecond(const std::vector<long>& answers) {
    EXPECT_GE(answers.size(), 5u) << "too few pings during the transfer";
    long slowest = 0;
    for (long a : answers) slowest = std::max(slowest, a);
    std::printf("liveness: %zu pings during the transfer, slowest answer %ld ms\n", answers.size(),
                slowest);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_GE(answers[i], 0) << "ping " << i << " was not answered within 3 s";
        EXPECT_LE(answers[i], 1000) << "ping " << i;
    }
}

TEST_F(Liveness, WindowAnswersThroughATransferAndTakesNoInputOrCloseUntilTheVerdict) {
    auto probe = StartProbe("live");
    ASSERT_TRUE(probe->Has("winid"));
    EXPECT_GE(desktop_.Ping(window_, 3000), 0) << "not answering before the transfer";
    // The launcher's "starting" feedback ends once the window has appeared.
    const std::vector<std::string> startup = desktop_.StartupMessages();
    EXPECT_NE(std::find(startup.begin(), startup.end(), "remove: ID=" + StartupId()),
              startup.end());
    ASSERT_TRUE(probe->WaitFor("transfer-start", 5000));
    const auto [loadX, loadY] = probe->Point("load-at");
    const auto [aboutX, aboutY] = probe->Point("about-at");
    const std::vector<long> answers =
        PingUntil(*probe, "outcome",
                  {{2, [&] { desktop_.Click(window_, loadX, loadY); }},
                   {4, [&] { desktop_.Click(window_, aboutX, aboutY); }},
                   {6, [&] { desktop_.Key("ctrl+q"); }},
                   {8, [&] { desktop_.RequestClose(window_); }},
                   {10, [&] { desktop_.Key("alt+F4"); }}});
    const int status = probe->Finish(30000);
    int boardStatus = -1;
    const std::string summary = Summary(&boardStatus);

    ExpectAllAnsweredWithinASecond(answers);
    EXPECT_EQ(probe->Text("outcome"), "Transfer Complete.");
    EXPECT_EQ(probe->Number("progress"), 100);
    EXPECT_EQ(probe->Number("dialogs-during-transfer"), 1) << "only the outcome box opens";
    EXPECT_EQ(probe->Number("window-open-after"), 1) << "a refused close came back later";
    EXPECT_EQ(probe->Number("load-enabled-after"), 1);
    // Each beep sounds as its block is acknowledged, not in a burst behind the outcome box.
    EXPECT_EQ(probe->Number("beeps-asked"), 536);
    EXPECT_EQ(probe->Number("beeps-played-before-box"), 536);
    EXPECT_EQ(probe->Number("beeps-late"), 0);
    EXPECT_GT(probe->Number("beep-last") - probe->Number("beep-first"), 10000);
    EXPECT_EQ(status, 0);
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
}

TEST_F(Liveness, MinimisingDuringATransferShowsTheVerdictThenClosesThePortAndEnds) {
    auto probe = StartProbe("live-minimise");
    ASSERT_TRUE(probe->Has("winid"));
    ASSERT_TRUE(probe->WaitFor("transfer-start", 5000));
    bool minimised = false;
    const std::vector<long> answers =
        PingUntil(*probe, "outcome", {{3, [&] {
                                           desktop_.Minimise(window_);
                                           // The window manager takes its time on a busy machine.
                                           for (int i = 0; i < 100 && !minimised; ++i) {
                                               minimised = !desktop_.IsViewable(window_);
                                               if (!minimised) probe->Read(100);
                                           }
                                       }}});
    EXPECT_TRUE(minimised) << "the window manager did not minimise the window";
    ExpectAllAnsweredWithinASecond(answers);
    ASSERT_TRUE(probe->WaitFor("box-ok-at", 5000));
    EXPECT_EQ(probe->Text("outcome"), "Transfer Complete.");
    EXPECT_EQ(probe->Number("main-minimised-under-box"), 0) << "the verdict's window was hidden";

    // The box stays up until someone dismisses it, and the port stays open meanwhile.
    probe->WaitFor("transfer-end", 2000);
    EXPECT_FALSE(probe->Has("transfer-end"));
    const auto box = static_cast<std::uint32_t>(probe->Number("box-winid"));
    EXPECT_TRUE(desktop_.IsViewable(box));
    EXPECT_TRUE(desktop_.IsViewable(window_));
    EXPECT_TRUE(probe->Running());
    EXPECT_EQ(TraceTime(board_->trace, "port closed"), -1);

    const long long dismissed = NowMs();
    const auto [okX, okY] = probe->Point("box-ok-at");
    ASSERT_TRUE(desktop_.Click(box, okX, okY));
    const int status = probe->Finish(15000);
    int boardStatus = -1;
    const std::string summary = Summary(&boardStatus);

    EXPECT_EQ(status, 0);
    const long long closed = TraceTime(board_->trace, "port closed");
    EXPECT_GE(closed, dismissed) << "the port closed before the verdict was dismissed";
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
    EXPECT_NE(summary.find("port-closed"), std::string::npos) << summary;
}

// The board repeats block 5's acknowledgement a moment later, in a read of its own, and hangs
// up when the last block arrives: a copy taken for block 6's acknowledgement would credit every
// later block with the one before it and end in "Transfer Complete." for a board that never
// confirmed its last block.
class LivenessRepeatedAcknowledgement : public Liveness {
protected:
    std::vector<std::string> BoardFaults() const override {
        return {"--fault", "duplicate-late:5", "--fault", "split:5", "--hangup-at", "535"};
    }
};

TEST_F(LivenessRepeatedAcknowledgement, BoardGoneAtTheLastBlockIsAFailedTransfer) {
    auto probe = StartOnDisplay("transfer", desktop_.Display(), board_->hive);
    const int status = probe->Finish(90000);
    int boardStatus = -1;
    const std::string summary = Summary(&boardStatus);

    EXPECT_EQ(probe->Text("round1-outcome"), "Transfer Failed. Sector did not write.") << summary;
    EXPECT_EQ(probe->Number("round1-beeps"), 535);
    EXPECT_NE(summary.find("blocks=535 "), std::string::npos) << summary;
    EXPECT_NE(summary.find("hung-up"), std::string::npos) << summary;
    EXPECT_EQ(status, 0);
}

}  // namespace
