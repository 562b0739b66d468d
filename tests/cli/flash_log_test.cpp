// The record (--log) is whole or absent: a record that does not fit is cut off again, and a
// signal while another board holds the lock does not cost the outcome line. A signal while the
// started line waits for the lock comes before block 0: nothing is sent, with one board or all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/flash_log.h"
#include "tests/cli/flash_child.h"
#include "tests/support/listed_board.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"

namespace {

using clitest::ReadFile;

// AppendFlashLog in a child whose files may grow to `room` bytes past the log's size (-1: no
// limit). SIGXFSZ is ignored, as a shell's `ulimit -f` would leave a careful program to see
// EFBIG. True when it says the record went in.
bool AppendWithRoom(const std::string& log, const std::string& line, long room) {
    const off_t size = static_cast<off_t>(ReadFile(log).size());
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (room >= 0) {
            const rlimit limit{static_cast<rlim_t>(size + room), static_cast<rlim_t>(size + room)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        }
        std::string error;
        ::_exit(AppendFlashLog(log, line, &error) ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FlashLog, ARecordThatDoesNotFitIsCutOffAndTheNextStartsOnItsOwnLine) {
    const std::string kept = "{\"outcome\":\"started\",\"upgrade_id\":\"1\"}\n"
                             "{\"outcome\":\"complete\",\"upgrade_id\":\"1\"}\n";
    // A process killed mid-line long ago.
    const std::string fragment = kept + "{\"outcome\":\"started\",\"old_versio";
    const std::string line = "{\"outcome\":\"started\",\"upgrade_id\":\"2\"}\n";
    struct Case {
        const char* name;
        std::string before;
        long room;
    } cases[] = {
        {"whole lines, room for part of the record", kept, 10},
        {"a fragment, room for its newline alone", fragment, 1},
        {"a fragment, room for its newline and part of the record", fragment, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = testutil::TempPath("flash-log");
        std::ofstream(log, std::ios::binary) << c.before;
        EXPECT_FALSE(AppendWithRoom(log, line, c.room));
        EXPECT_EQ(ReadFile(log), c.before);
        EXPECT_TRUE(AppendWithRoom(log, line, -1));
        EXPECT_EQ(ReadFile(log), c.before + (c.before.back() == '\n' ? "" : "\n") + line);
        std::remove(log.c_str());
    }
}

// Whether /proc/locks shows `pid` waiting for a flock.
bool WaitsForFlock(pid_t pid) {
    std::istringstream locks(ReadFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        // "1: -> FLOCK  ADVISORY  WRITE 1234 00:2f:77 0 EOF"
        if (w.size() > 5 && w[1] == "->" && w[2] == "FLOCK" && w[5] == std::to_string(pid))
            return true;
    }
    return false;
}

// The log's lines.
std::vector<std::string> Records(const std::string& log) {
    std::vector<std::string> records;
    std::istringstream in(ReadFile(log));
    for (std::string line; std::getline(in, line);) records.push_back(line);
    return records;
}

// The processes whose parent is `parent`, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::istringstream tasks(
        ReadFile("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children"));
    for (pid_t pid; tasks >> pid;) children.push_back(pid);
    return children;
}

std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":\"";
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) return "<missing>";
    const std::size_t from = at + tag.size();
    return line.substr(from, line.find('"', from) - from);
}

// Another board's record holds the lock when this upgrade's verdict comes, and the terminal
// hangs up meanwhile: the wait for the lock goes on, and the outcome line goes in after it.
TEST(FlashLog, AHangUpWhileAnotherBoardHoldsTheLockKeepsTheOutcomeLine) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vantra-test-bus", 1);
    testutil::BoardSim sim({"--baud", "0"});
    const std::string log = testutil::TempPath("flash-log");
    clitest::Flash flash({"--port", sim.path, "--yes", "--json", "--log", log});
    auto readUntil = [&](const char* event) {
        for (std::string l; !(l = flash.ReadLine()).empty();)
            if (l.find(std::string("\"event\":\"") + event + "\"") != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(readUntil("transfer")) << flash.stdoutText;  // the started line is in
    // A description of its own: flock excludes it from vantra-flash's, as another process's.
    const int other = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    ASSERT_TRUE(readUntil("outcome")) << flash.stdoutText;
    ASSERT_TRUE(testutil::WaitUntil([&] { return WaitsForFlock(flash.pid); }));
    ::kill(flash.pid, SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const bool stillWaiting = WaitsForFlock(flash.pid);
    ::close(other);

    EXPECT_TRUE(stillWaiting);
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.stdoutText.find("Transfer Complete."), std::string::npos);
    const std::vector<std::string> records = Records(log);
    ASSERT_EQ(records.size(), 2u) << ReadFile(log);
    EXPECT_EQ(Field(records[0], "outcome"), "started");
    EXPECT_EQ(Field(records[1], "outcome"), "complete");
    EXPECT_EQ(Field(records[0], "upgrade_id"), Field(records[1], "upgrade_id"));
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("blocks=536 "), std::string::npos);
    std::remove(log.c_str());
}

// A signal while the started line waits for another board's lock: the board has not been sent
// anything, so the transfer is refused, the started line gets its outcome, and the program ends
// as it would at rest.
TEST(FlashLog, ASignalWhileTheStartedLineWaitsRefusesTheTransfer) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vantra-test-bus", 1);
    struct Row {
        std::vector<int> signals;
        int status;
    } rows[] = {{{SIGINT, SIGINT}, 130}, {{SIGTERM}, 128 + SIGTERM}};
    for (const Row& row : rows) {
        SCOPED_TRACE("signal " + std::to_string(row.signals[0]));
        testutil::BoardSim sim({"--baud", "0"});
        const std::string log = testutil::TempPath("flash-log");
        std::ofstream(log).close();
        const int other = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        clitest::Flash flash({"--port", sim.path, "--yes", "--json", "--log", log});
        ASSERT_TRUE(testutil::WaitUntil([&] { return WaitsForFlock(flash.pid); }, 20000));
        for (const int number : row.signals) {
            ::kill(flash.pid, number);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::close(other);

        EXPECT_EQ(flash.Wait(), row.status) << flash.err;
        EXPECT_EQ(flash.stdoutText.find("\"event\":\"transfer\""), std::string::npos);
        const std::vector<std::string> records = Records(log);
        ASSERT_EQ(records.size(), 2u) << ReadFile(log);
        EXPECT_EQ(Field(records[0], "outcome"), "started");
        EXPECT_EQ(Field(records[1], "outcome"), "refused");
        EXPECT_NE(records[1].find("\"blocks_sent\":0,"), std::string::npos) << records[1];
        EXPECT_EQ(Field(records[0], "upgrade_id"), Field(records[1], "upgrade_id"));
        int status = -1;
        EXPECT_NE(sim.Finish(&status).find("blocks=0 "), std::string::npos);
        std::remove(log.c_str());
    }
}

// --all: a Ctrl-C to the parent while every board's started line waits for the lock. Nothing
// has been sent, so the parent stops the children at once, and none of them sends a block.
TEST(FlashLog, CtrlCToAllBeforeAnyBoardStartsSendsNothing) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vantra-test-bus", 1);
    testutil::BoardSim a({"--baud", "0"});
    testutil::BoardSim b({"--baud", "0"});
    const testutil::Hive hive(testutil::DriverList({a.path, b.path}));
    const std::string log = testutil::TempPath("flash-log");
    std::ofstream(log).close();
    const int other = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    clitest::Flash flash({"--all", "--yes", "--json", "--log", log});
    // Both children waiting for the lock.
    auto waiting = [&] {
        int n = 0;
        for (const pid_t child : ChildrenOf(flash.pid)) n += WaitsForFlock(child);
        return n;
    };
    ASSERT_TRUE(testutil::WaitUntil([&] { return waiting() == 2; }, 20000));
    ::kill(flash.pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::close(other);

    EXPECT_EQ(flash.Wait(), 130) << flash.err;
    for (testutil::BoardSim* sim : {&a, &b}) {
        int status = -1;
        EXPECT_NE(sim->Finish(&status).find("blocks=0 "), std::string::npos);
    }
    EXPECT_EQ(flash.stdoutText.find("\"event\":\"transfer\""), std::string::npos);
    std::remove(log.c_str());
}

}  // namespace
