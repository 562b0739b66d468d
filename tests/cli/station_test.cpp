// vantra-flash --station as a bench sees it: real simulated boards on real pseudo-terminals,
// adapters plugged in and pulled out of a made-up machine (--sysroot) while it runs, the log
// that remembers boards, and the operator's Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/flash_child.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/sys_tree.h"

namespace {

using clitest::Flash;
using clitest::ReadFile;
using testutil::BoardSim;
using testutil::SysTree;
using testutil::UsbSerial;

QJsonObject Parse(const std::string& line) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}
std::string Str(const QJsonObject& o, const char* key) {
    return o.value(key).toString().toStdString();
}

std::vector<QJsonObject> Lines(const std::string& text) {
    std::vector<QJsonObject> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) objects.push_back(Parse(line));
    return objects;
}
std::vector<QJsonObject> Records(const std::string& log) {
    return Lines(ReadFile(log));
}

// A station running with --json, and the events it has given so far.
struct RunningStation : Flash {
    explicit RunningStation(std::vector<std::string> args) : Flash(WithStation(std::move(args))) {}
    static std::vector<std::string> WithStation(std::vector<std::string> args) {
        args.insert(args.begin(), {"--station", "--yes", "--json"});
        return args;
    }
    // Reads events until one satisfies `match` (returned), or gives up after `ms`.
    QJsonObject Await(const std::function<bool(const QJsonObject&)>& match, int ms = 30000) {
        for (;;) {
            const std::string line = ReadLine(ms);
            if (line.empty()) return {};
            const QJsonObject e = Parse(line);
            if (match(e)) return e;
        }
    }
    QJsonObject AwaitEvent(const std::string& event, const std::string& port, int ms = 30000) {
        return Await(
            [&](const QJsonObject& e) {
                return Str(e, "event") == event && Str(e, "port") == port;
            },
            ms);
    }
};

// A simulated board behind a USB adapter of the made-up machine, in socket `socket`.
struct PluggedBoard {
    PluggedBoard(SysTree& tree, const std::string& socket, std::vector<std::string> args)
        : tree(tree), sim(std::make_unique<BoardSim>(args)) {
        device = UsbSerial{"",     "quatech2", "061d", "c020", "Quatech", "SSU-100", "Q-" + socket,
                           socket, 1,          "",     true,   false};
        device.tty = testutil::SysfsName(sim->path);
    }
    void Plug() { tree.Add(device); }
    void Pull() { tree.Remove(device); }
    SysTree& tree;
    std::unique_ptr<BoardSim> sim;
    UsbSerial device;
};

// An adapter plugged in while the station runs is upgraded; one pulled out in the middle of a
// transfer fails it, said and recorded as the adapter gone; the station ends at rest with 1.
TEST(Station, AdaptersPluggedInAreUpgradedAndOnePulledOutFailsItsTransfer) {
    SysTree tree;
    const std::string log = testutil::TempPath("station-log");
    PluggedBoard quick(tree, "1-1", {"--baud", "0", "--serial", "1001"});
    // Slow enough to be pulled out half-way: 20 ms for each acknowledgement.
    PluggedBoard slow(tree, "1-2", {"--baud", "0", "--serial", "1002", "--ack-delay", "20"});
    RunningStation station({"--sysroot", tree.root, "--log", log});
    ASSERT_EQ(Str(station.Await([](const QJsonObject& e) { return Str(e, "event") == "station"; }),
                  "event"),
              "station");

    quick.Plug();
    EXPECT_EQ(Str(station.AwaitEvent("adapter", quick.sim->path), "state"), "added");
    EXPECT_EQ(Str(station.AwaitEvent("verdict", quick.sim->path), "outcome"), "complete");

    slow.Plug();
    station.Await([&](const QJsonObject& e) {
        return Str(e, "event") == "progress" && Str(e, "port") == slow.sim->path &&
               e.value("block").toInt() >= 20;
    });
    slow.Pull();
    const QJsonObject outcome = station.AwaitEvent("outcome", slow.sim->path);
    EXPECT_EQ(Str(outcome, "outcome"), "failed");
    EXPECT_NE(Str(outcome, "message").find("unplugged"), std::string::npos);
    // Seen gone by the station, before or after the socket's verdict.
    station.Await([](const QJsonObject&) { return false; }, 1500);
    bool gone = false;
    for (const QJsonObject& e : Lines(station.stdoutText))
        gone = gone || (Str(e, "event") == "adapter" && Str(e, "port") == slow.sim->path &&
                        Str(e, "state") == "gone");
    EXPECT_TRUE(gone);

    ::kill(station.pid, SIGINT);
    EXPECT_EQ(station.Wait(), 1) << station.err;
    std::vector<std::string> lines;
    for (const QJsonObject& r : Records(log))
        lines.push_back(Str(r, "serial") + " " + Str(r, "outcome") + " " + Str(r, "cause"));
    EXPECT_EQ(lines, (std::vector<std::string>{"1001 started ", "1001 complete ", "1002 started ",
                                               "1002 failed adapter-gone"}));
}

// The log remembers each board by its serial: an upgrade cut off is said and done again; the
// same board plugged in again is skipped, and upgraded once more with --again.
TEST(Station, TheLogRemembersBoardsBySerial) {
    SysTree tree;
    const std::string log = testutil::TempPath("station-log");
    // A power cut after the started line: no outcome.
    {
        std::ofstream seed(log);
        seed << R"({"upgrade_id":"0123456789abcdef0123456789abcdef","port":"/dev/ttyUSB0",)"
             << R"("serial":"2001","old_version":"V4.01","new_version":"V4.02.N.01",)"
             << R"("image_crc32":"00000000","image_bytes":1,"attempt":1,"outcome":"started",)"
             << R"("blocks":536,"start":"2026-11-30T09:15:00.000Z"})"
             << "\n";
    }
    PluggedBoard first(tree, "1-1", {"--baud", "0", "--serial", "2001"});
    PluggedBoard again(tree, "1-1", {"--baud", "0", "--serial", "2001"});
    {
        RunningStation station({"--sysroot", tree.root, "--log", log});
        first.Plug();
        const std::string unfinished =
            "upgrade of 2026-11-30 09:15 UTC did not finish; it holds an incomplete image";
        const QJsonObject said = station.Await([&](const QJsonObject& e) {
            return Str(e, "event") == "warning" &&
                   Str(e, "message").find(unfinished) != std::string::npos;
        });
        EXPECT_EQ(Str(said, "port"), first.sim->path);
        EXPECT_EQ(Str(station.AwaitEvent("verdict", first.sim->path), "outcome"), "complete");
        // Out of its socket, and the same board in again (another pty: another cable).
        first.Pull();
        again.Plug();
        const QJsonObject skipped = station.AwaitEvent("skipped", again.sim->path);
        EXPECT_NE(Str(skipped, "message").find("already upgraded on 20"), std::string::npos);
        ::kill(station.pid, SIGINT);
        EXPECT_EQ(station.Wait(), 0) << station.err;
    }
    RunningStation station({"--sysroot", tree.root, "--log", log, "--again"});
    EXPECT_EQ(Str(station.AwaitEvent("verdict", again.sim->path), "outcome"), "complete");
    ::kill(station.pid, SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.err;
    int completes = 0;
    for (const QJsonObject& r : Records(log)) completes += Str(r, "outcome") == "complete";
    EXPECT_EQ(completes, 2);
}

// Boards arrive one after another on one cable: each is upgraded once, with its own two lines.
TEST(Station, ThreeBoardsInTurnOnOneSocket) {
    BoardSim sim({"--baud", "0", "--boards", "3", "--serial", "30417265", "--expect",
                  VANTRA_FIRMWARE_144_BIN});
    const std::string log = testutil::TempPath("station-log");
    RunningStation station({"--port", sim.path, "--log", log});
    std::vector<std::string> verdicts;
    for (int i = 0; i < 3; ++i) {
        const QJsonObject v = station.AwaitEvent("verdict", sim.path);
        verdicts.push_back(Str(v, "serial") + " " + Str(v, "outcome"));
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"30417265 complete", "30417266 complete",
                                                  "30417267 complete"}));
    ::kill(station.pid, SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.err;
    int status = -1;
    const std::string summary = sim.Finish(&status);
    EXPECT_EQ(status, 0) << summary;
    std::vector<std::string> lines;
    for (const QJsonObject& r : Records(log))
        lines.push_back(Str(r, "serial") + " " + Str(r, "outcome"));
    EXPECT_EQ(lines, (std::vector<std::string>{"30417265 started", "30417265 complete",
                                               "30417266 started", "30417266 complete",
                                               "30417267 started", "30417267 complete"}));
}

// A failed transfer starts again from block 0 while the board answers, each attempt recorded
// under the one upgrade id; the last attempt's verdict is the board's.
struct RetryCase {
    const char* name;
    const char* faultedAttempts;  // the simulator's faults on this many first transfers
    int status;
    std::vector<std::string> records;  // outcome and attempt
};

void PrintTo(const RetryCase& c, std::ostream* os) {
    *os << c.name;
}

class Retries : public ::testing::TestWithParam<RetryCase> {};

TEST_P(Retries, FromBlockZeroWithTheOneUpgradeId) {
    const RetryCase& c = GetParam();
    BoardSim sim({"--baud", "0", "--stop-at", "10", "--fault-attempts", c.faultedAttempts});
    const std::string log = testutil::TempPath("retry-log");
    Flash flash({"--port", sim.path, "--yes", "--json", "--log", log, "--retries", "2"});
    EXPECT_EQ(flash.Wait(), c.status) << flash.err;
    std::vector<std::string> records;
    std::set<std::string> ids;
    for (const QJsonObject& r : Records(log)) {
        records.push_back(Str(r, "outcome") + " " + std::to_string(r.value("attempt").toInt()));
        ids.insert(Str(r, "upgrade_id"));
    }
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(ids.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Retries,
    ::testing::Values(
        RetryCase{
            "SecondAttemptCompletes", "1", 0, {"started 1", "failed 1", "started 2", "complete 2"}},
        RetryCase{"EveryAttemptFails",
                  "3",
                  1,
                  {"started 1", "failed 1", "started 2", "failed 2", "started 3", "failed 3"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The result hook gets the outcome in its environment and its lines are shown after the
// socket's port; one that hangs is killed at 10 s and holds up no other socket.
TEST(Station, TheResultHookRunsPerSocketAndOneThatHangsIsKilled) {
    const std::string out = testutil::TempPath("hook-env");
    const std::string hook = testutil::TempPath("hook") + ".sh";
    {
        std::ofstream script(hook);
        script << "#!/bin/sh\n"
               << "[ \"$VANTRA_SERIAL\" = 3001 ] && exec sleep 60\n"
               << "env | grep '^VANTRA_' | sort > " << out << "\n"
               << "echo light green\n";
    }
    ::chmod(hook.c_str(), 0755);
    BoardSim hangs({"--baud", "0", "--serial", "3001"});
    BoardSim slower({"--baud", "0", "--serial", "3002", "--ack-delay", "5"});
    RunningStation station({"--port", hangs.path, "--port", slower.path, "--on-result", hook});
    station.AwaitEvent("verdict", hangs.path);
    const QJsonObject verdict = station.AwaitEvent("verdict", slower.path);
    // The other socket's hook was killed only later.
    const QJsonObject killed = station.Await([&](const QJsonObject& e) {
        return Str(e, "event") == "warning" && Str(e, "port") == hangs.path;
    });
    EXPECT_NE(Str(killed, "message").find("killed after 10 s"), std::string::npos)
        << Str(killed, "message");
    ::kill(station.pid, SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.err;
    EXPECT_NE(station.err.find(slower.path + ": on-result: light green"), std::string::npos)
        << station.err;
    const std::string env = ReadFile(out);
    for (const std::string& expected :
         {std::string("VANTRA_OUTCOME=complete\n"), std::string("VANTRA_EXIT=0\n"),
          std::string("VANTRA_SERIAL=3002\n"), "VANTRA_PORT=" + slower.path + "\n",
          "VANTRA_UPGRADE_ID=" + Str(verdict, "upgrade_id") + "\n",
          std::string("VANTRA_OLD_VERSION=V4.01\n")})
        EXPECT_NE(env.find(expected), std::string::npos) << expected << " in\n" << env;
}

// Ctrl-C at rest ends the station at once; with a transfer running it lets the verdict come,
// unless a second follows within 5 s.
struct StopCase {
    const char* name;
    int presses;  // Ctrl-Cs, 300 ms apart
    bool midTransfer;
    const char* outcome;  // the board's verdict, "" for none
    int status;
    bool hookHangs = false;  // at rest while the board's result hook hangs: it is stopped too
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class StationStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(StationStop, CtrlC) {
    const StopCase& c = GetParam();
    BoardSim sim({"--baud", "0", "--ack-delay", "5"});
    std::vector<std::string> args{"--port", sim.path};
    if (c.hookHangs) args.insert(args.end(), {"--on-result", "sleep 60"});
    RunningStation station(args);
    station.AwaitEvent(c.midTransfer ? "transfer" : "waiting", sim.path);
    if (!c.midTransfer) station.AwaitEvent("verdict", sim.path);  // at rest after its verdict
    for (int i = 0; i < c.presses; ++i) {
        if (i > 0) ::usleep(300000);
        ::kill(station.pid, SIGINT);
    }
    EXPECT_EQ(station.Wait(), c.status) << station.err;
    std::string verdict;
    for (const QJsonObject& e : Lines(station.stdoutText))
        if (Str(e, "event") == "verdict") verdict = Str(e, "outcome");
    EXPECT_EQ(verdict, c.outcome);
    if (c.hookHangs) {
        EXPECT_NE(station.stdoutText.find("command stopped: the program was asked to end"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StationStop,
    ::testing::Values(StopCase{"AtRest", 1, false, "complete", 0},
                      StopCase{"OnceMidTransfer", 1, true, "complete", 0},
                      StopCase{"TwiceMidTransfer", 2, true, "interrupted", 130},
                      StopCase{"AtRestWhileItsHookHangs", 1, false, "complete", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
