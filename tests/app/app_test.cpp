// The whole application, started as a person starts it, against the simulated board on a pty.
// Each test runs the application in its own process (vantra_app_probe) and reads what it saw.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/listed_board.h"
#include "tests/support/probe_process.h"
#include "tests/support/pty_helpers.h"

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct ProbeRun {
    std::map<std::string, std::string> seen;  // "probe <key> <value>" lines
    int status = -1;
    long long exitedAt = 0;

    bool Has(const std::string& key) const { return seen.count(key) != 0; }
    long long Number(const std::string& key) const {
        auto it = seen.find(key);
        return it == seen.end() ? -1 : std::stoll(it->second);
    }
    std::string Text(const std::string& key) const {
        auto it = seen.find(key);
        return it == seen.end() ? "<missing>" : it->second;
    }
};

// Runs the probe to its end (at most `timeoutMs`), with VANTRA_REGISTRY naming `hive`.
ProbeRun RunProbe(const std::string& scenario, const std::string& hive, int timeoutMs = 90000) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");  // no display unless one is asked for
    testutil::ProbeProcess probe(
        {VANTRA_APP_PROBE, scenario},
        {"VANTRA_REGISTRY=" + hive,
         std::string("QT_QPA_PLATFORM=") + (platform != nullptr ? platform : "offscreen")});
    ProbeRun run;
    run.status = probe.Finish(timeoutMs);
    run.exitedAt = NowMs();
    run.seen = probe.Seen();
    return run;
}

// The board's --trace lines: "trace <ms> frame <cmd> <index>", "trace <ms> port open|closed".
std::vector<std::pair<long long, std::string>> TraceOf(const std::string& file) {
    std::vector<std::pair<long long, std::string>> events;
    std::ifstream in(file);
    std::string word, rest;
    long long ms;
    while (in >> word >> ms && std::getline(in, rest)) {
        if (word == "trace") events.emplace_back(ms, rest.substr(1));
    }
    return events;
}

long long FirstEvent(const std::vector<std::pair<long long, std::string>>& events,
                     const std::string& prefix) {
    for (const auto& [ms, what] : events) {
        if (what.rfind(prefix, 0) == 0) return ms;
    }
    return -1;
}

class App : public ::testing::Test {
protected:
    void StartBoard(std::vector<std::string> args) {
        args.insert(args.begin(), {"--baud", "0"});
        board_ = std::make_unique<testutil::ListedBoard>(args, true);
        ASSERT_FALSE(board_->sim->path.empty());
    }

    std::string Finish(int* status) { return board_->Finish(status); }

    std::unique_ptr<testutil::ListedBoard> board_;
};

TEST_F(App, StartUpQueriesTheBoardAndFirstPaintShowsItsVersion) {
    StartBoard({});
    ProbeRun run = RunProbe("start", board_->hive);
    int status = -1;
    Finish(&status);
    const auto trace = TraceOf(board_->trace);

    const long long start = run.Number("start");
    const long long versionQuery = FirstEvent(trace, "frame 01");
    const long long serialQuery = FirstEvent(trace, "frame 02");
    ASSERT_GT(versionQuery, 0);
    // Four seconds for the port to settle, then the query; the serial query answers the reply.
    EXPECT_GE(versionQuery - start, 3990);
    EXPECT_LT(versionQuery - start, 4000 + 3000);
    EXPECT_GE(serialQuery, versionQuery);
    EXPECT_LT(serialQuery - versionQuery, 1000);

    EXPECT_EQ(run.Text("first-paint-version"), "V4.01");
    EXPECT_GE(run.Number("first-paint") - start, 7990);
    EXPECT_EQ(run.Number("band2-shows-current"), 1);
    EXPECT_EQ(run.Number("band2-shows-0.00"), 0);
    EXPECT_EQ(run.Text("serial"), "30417265");
    EXPECT_EQ(run.status, 0);
}

TEST_F(App, WithoutABoardTheScreenShowsNoVersionAfterEightSeconds) {
    const std::string hive = testutil::TempPath("nohive");
    const std::string missingPort = "/dev/vantra-no-such-port";
    std::ofstream(hive) << "Windows Registry Editor Version 5.00\r\n\r\n"
                        << testutil::DriverKey("01", "Quatech adapter", &missingPort);
    ProbeRun run = RunProbe("noboard", hive);
    std::remove(hive.c_str());

    EXPECT_EQ(run.Text("message"), "Cannot Open Connection To Board.");
    const long long shownAfter = run.Number("shown") - run.Number("start");
    EXPECT_GE(shownAfter, 7990);
    EXPECT_LT(shownAfter, 8000 + 4000);
    EXPECT_EQ(run.Text("first-paint-version"), "0.00");
    EXPECT_EQ(run.Number("band2-shows-0.00"), 1);
    EXPECT_EQ(run.Number("port-open"), 0);
    EXPECT_EQ(run.status, 0);
}

TEST_F(App, LoadUpgradesTheBoardAndSaysSo) {
    StartBoard({});
    ProbeRun run = RunProbe("transfer", board_->hive);
    int status = -1;
    const std::string summary = Finish(&status);

    EXPECT_EQ(run.Text("round1-outcome"), "Transfer Complete.");
    EXPECT_EQ(run.Number("round1-progress"), 100);
    EXPECT_EQ(run.Number("round1-load-enabled-under-box"), 0);
    EXPECT_EQ(run.Number("round1-load-enabled-after"), 1);
    EXPECT_EQ(run.Number("round1-beeps"), 536);
    EXPECT_EQ(status, 0) << summary;
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
    EXPECT_EQ(run.status, 0);  // a sanitizer report or a crash on the way out shows here
}

TEST_F(App, SilentBoardFailsTheTransferAndLoadStartsOver) {
    StartBoard({"--stop-at", "10"});
    ProbeRun run = RunProbe("silent", board_->hive);
    int status = -1;
    const std::string summary = Finish(&status);

    EXPECT_EQ(run.Text("round1-outcome"), "Transfer Failed. Sector did not write.");
    EXPECT_EQ(run.Number("round1-progress"), 1);
    EXPECT_EQ(run.Number("round1-load-enabled-after"), 1);
    EXPECT_EQ(run.Number("round1-beeps"), 10);
    EXPECT_EQ(run.Text("round2-outcome"), "Transfer Failed. Sector did not write.");
    // Eleven blocks (0 to 10), then the second press starts again at block 0.
    EXPECT_NE(summary.find("blocks=12 first=0x0 last=0x0 gaps=0 repeats=1"), std::string::npos)
        << summary;
    EXPECT_EQ(run.status, 0);
}

// A board that stops reading (the block sent to it waits in the line) fails the transfer; back
// again, LOAD completes the upgrade, the first try's block read and answered before block 0.
TEST_F(App, LoadAgainAfterTheBoardCameBackCompletes) {
    StartBoard({"--fault", "deaf:9:3000"});
    ProbeRun run = RunProbe("silent", board_->hive);
    int status = -1;
    const std::string summary = Finish(&status);

    EXPECT_EQ(run.Text("round1-outcome"), "Transfer Failed. Sector did not write.");
    EXPECT_EQ(run.Text("round2-outcome"), "Transfer Complete.");
    EXPECT_NE(summary.find("blocks=547 "), std::string::npos) << summary;  // 11, then 536
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
    EXPECT_EQ(run.status, 0);
}

TEST_F(App, MinimisingClosesThePortAndEndsTheApplication) {
    StartBoard({"--exit-on-close"});
    ProbeRun run = RunProbe("minimise", board_->hive);
    int status = -1;
    const std::string summary = Finish(&status);
    const auto trace = TraceOf(board_->trace);

    ASSERT_TRUE(run.Has("minimise"));
    const long long closed = FirstEvent(trace, "port closed");
    ASSERT_GT(closed, 0) << "the board never saw the port closed";
    // Half a second's pause, then a second in the transport's destructor, then the port goes.
    EXPECT_GE(closed - run.Number("minimise"), 1490);
    EXPECT_LT(closed - run.Number("minimise"), 1500 + 2500);
    EXPECT_LT(run.exitedAt - run.Number("minimise"), 1500 + 5000);
    EXPECT_EQ(run.Number("port-open"), 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(summary.find("port-closed"), std::string::npos) << summary;
}

TEST_F(App, MissingToolbarEndsStartUpWithNoWindowAndNoPort) {
    StartBoard({});
    ProbeRun run = RunProbe("notoolbar", board_->hive);
    int status = -1;
    Finish(&status);
    const auto trace = TraceOf(board_->trace);

    EXPECT_EQ(run.Number("window-shown"), 0);
    EXPECT_EQ(run.Number("port-open"), 0);
    EXPECT_EQ(FirstEvent(trace, "port open"), -1);
    EXPECT_EQ(FirstEvent(trace, "frame"), -1);
    EXPECT_LT(run.Number("exit") - run.Number("start"), 4000);  // no start-up pauses
    EXPECT_EQ(run.status, 0);
}

}  // namespace
