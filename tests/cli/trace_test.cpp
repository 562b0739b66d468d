// vantra-flash --trace against the simulated board: what the field sends back to engineering
// must show each frame, each acknowledgement's decision and the verdict, and must never be
// written through a symbolic link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/cli/flash_child.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"

namespace {

using clitest::Flash;
using clitest::ReadFile;
using testutil::BoardSim;

struct TraceRow {
    const char* name;
    std::vector<std::string> board;
    bool throughLink;  // --trace names a symbolic link to a file
    rlim_t fileLimit;  // a file-size limit on the program (0: none), which the trace outgrows
    int status;
    std::vector<std::pair<std::string, int>> counts;  // lines holding the text, how many
    std::vector<std::string> lines;                   // texts some line holds
};

void PrintTo(const TraceRow& row, std::ostream* out) {
    *out << row.name;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class FlashTrace : public ::testing::TestWithParam<TraceRow> {};

TEST_P(FlashTrace, ShowsWhatCrossedTheLineAndTheVerdict) {
    const TraceRow& row = GetParam();
    BoardSim sim(row.board);
    const std::string file = testutil::TempPath("trace");
    const std::string link = file + ".link";
    std::string path = file;
    if (row.throughLink) {
        std::ofstream(file) << "kept\n";
        ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
        path = link;
    }
    rlimit unlimited{};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    if (row.fileLimit != 0) {
        const rlimit limit{row.fileLimit, unlimited.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);  // inherited by the program, then lifted here
    }
    Flash flash({"--port", sim.path, "--yes", "--trace", path});
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_EQ(flash.Wait(), row.status) << flash.err;
    int simStatus = -1;
    sim.Finish(&simStatus);
    const std::string trace = ReadFile(file);
    std::remove(link.c_str());
    std::remove(file.c_str());

    if (row.throughLink) {
        EXPECT_EQ(trace, "kept\n");
        EXPECT_NE(flash.err.find("vantra-flash: --trace " + link +
                                 ": is a symbolic link; the trace must go to a regular file"),
                  std::string::npos)
            << flash.err;
        return;
    }
    if (row.fileLimit != 0) {
        // The upgrade is not the trace's to fail: said once, and the verdict stands.
        EXPECT_EQ(Count(flash.err, "vantra-flash: --trace " + file +
                                       ": File too large; the "
                                       "trace stops here\n"),
                  1)
            << flash.err;
        EXPECT_NE(flash.err.find("Transfer Complete."), std::string::npos) << flash.err;
        EXPECT_LE(trace.size(), row.fileLimit);
        return;
    }
    for (const auto& [part, n] : row.counts) EXPECT_EQ(Count(trace, part), n) << part;
    for (const std::string& part : row.lines)
        EXPECT_NE(trace.find(part), std::string::npos) << part;
    EXPECT_NE(trace.find(" trace end dropped=0\n"), std::string::npos) << trace;
    // A copy of the last block's acknowledgement, come too soon to be the next one's own.
    std::smatch stale;
    if (Count(trace, "ack stale ") > 0) {
        ASSERT_TRUE(std::regex_search(trace, stale,
                                      std::regex("ack stale round_trip=(\\d+) earliest=(\\d+)")));
        EXPECT_GT(std::stoll(stale[2]), 0);
        EXPECT_LT(std::stoll(stale[1]), std::stoll(stale[2]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashTrace,
    ::testing::Values(
        TraceRow{"StaleCopyAtTheBoardsLineSpeed",
                 {"--baud", "38400", "--fault", "duplicate-late:5", "--stop-at", "10"},
                 false,
                 0,
                 1,
                 {{"ack stale ", 1}, {"ack counted ", 10}, {"write cmd=0xFB ", 11}},
                 {"port opened name=", "line baud=38400 bits=8 parity=none stop=1 wire_baud=0",
                  "board version \"V4.01\"", "block 10/536 timed-out",
                  "verdict failed sent=11 acknowledged=10 blocks=536 \"Transfer Failed. Sector "
                  "did not write.\""}},
        TraceRow{"FullSpeed",
                 {"--baud", "0", "--expect", VANTRA_FIRMWARE_144_BIN},
                 false,
                 0,
                 0,
                 {{"write cmd=0xFB ", 536},
                  {"ack counted ", 536},
                  {"/536 acknowledged", 536},
                  {"ack stale", 0},
                  {" fresh\n", 1}},
                 {"verdict complete sent=536 acknowledged=536 blocks=536 \"Transfer Complete.\""}},
        TraceRow{"RefusedThroughASymbolicLink", {"--baud", "0"}, true, 0, 64, {}, {}},
        TraceRow{"OutgrowingAFileSizeLimit", {"--baud", "0"}, false, 16384, 0, {}, {}}),
    [](const ::testing::TestParamInfo<TraceRow>& info) { return std::string(info.param.name); });

// SIGTERM during the transfer is held to the verdict, whose status the program then ends with:
// the trace shows the signal caught and held, and holds everything to its last line.
TEST(FlashTrace, SignalHeldThroughTheTransferAndTheWholeTraceWritten) {
    BoardSim sim({"--baud", "38400", "--stop-at", "20"});
    const std::string file = testutil::TempPath("trace");
    Flash flash({"--port", sim.path, "--yes", "--trace", file});
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return ReadFile(file).find(" block 5/536 ") != std::string::npos; }));
    ::kill(flash.pid, SIGTERM);
    EXPECT_EQ(flash.Wait(), 1) << flash.err;
    int simStatus = -1;
    sim.Finish(&simStatus);
    const std::string trace = ReadFile(file);
    std::remove(file.c_str());
    for (const char* part :
         {" signal caught SIGTERM(15)\n", " signal held SIGTERM(15)\n",
          " verdict failed sent=21 acknowledged=20 blocks=536 ", " trace end dropped=0\n"})
        EXPECT_NE(trace.find(part), std::string::npos) << part << "\n" << trace.substr(0, 2000);
}

}  // namespace
