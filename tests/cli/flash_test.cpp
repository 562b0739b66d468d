// vantra-flash end to end: the real program against vantra-boardsim on pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/flash_child.h"
#include "tests/support/listed_board.h"
#include "tests/support/port_holder.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"

namespace {

using clitest::Flash;
using clitest::ReadFile;

using testutil::BoardSim;
using testutil::PortHolder;

std::vector<QJsonObject> ParseLines(const std::string& text) {
    std::vector<QJsonObject> objects;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        QJsonParseError error{};
        QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
        EXPECT_TRUE(doc.isObject()) << line;
        objects.push_back(doc.object());
    }
    return objects;
}

std::string Str(const QJsonObject& o, const char* key) {
    return o.value(key).toString().toStdString();
}

std::vector<std::string> Board(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--baud", "0", "--expect", VANTRA_FIRMWARE_144_BIN};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(Flash, JsonEventsAndLogRecordAWholeUpgrade) {
    // No system bus: the upgrade goes ahead, with a warning that sleep cannot be held off.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vantra-test-bus", 1);
    BoardSim sim(Board());
    const std::string log = testutil::TempPath("flash-log");
    Flash flash({"--port", sim.path, "--yes", "--json", "--log", log});
    const int status = flash.Wait();
    int simStatus = -1;
    const std::string summary = sim.Finish(&simStatus);
    EXPECT_EQ(status, 0) << flash.err;
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;

    std::vector<std::string> kinds;
    int progress = 0;
    double lastElapsed = 0;
    for (const QJsonObject& e : ParseLines(flash.stdoutText)) {
        const std::string kind = Str(e, "event");
        if (kind == "progress") {
            ++progress;
            EXPECT_EQ(e.value("block").toInt(), progress);
            EXPECT_EQ(e.value("blocks").toInt(), 536);
        } else {
            kinds.push_back(kind);
        }
        EXPECT_EQ(Str(e, "port"), sim.path);
        EXPECT_FALSE(Str(e, "time").empty());
        EXPECT_GE(e.value("elapsed").toDouble(), lastElapsed);
        lastElapsed = e.value("elapsed").toDouble();
        if (kind == "version") {
            EXPECT_EQ(Str(e, "version"), "V4.01");
        }
        if (kind == "serial") {
            EXPECT_EQ(Str(e, "serial"), "30417265");
        }
        if (kind == "outcome") {
            EXPECT_EQ(Str(e, "outcome"), "complete");
            EXPECT_EQ(Str(e, "message"), "Transfer Complete.");
            EXPECT_EQ(e.value("blocks_acknowledged").toInt(), 536);
        }
    }
    // The lock's warning (no logind here) comes from the checks before block 0; "transfer" marks
    // block 0 going out.
    EXPECT_EQ(kinds, (std::vector<std::string>{"port", "version", "serial", "warning", "transfer",
                                               "outcome"}));
    EXPECT_EQ(progress, 536);

    std::vector<QJsonObject> records = ParseLines(ReadFile(log));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Str(records[0], "outcome"), "started");
    records.erase(records.begin());
    EXPECT_EQ(Str(records[0], "port"), sim.path);
    EXPECT_EQ(Str(records[0], "serial"), "30417265");
    EXPECT_EQ(Str(records[0], "old_version"), "V4.01");
    EXPECT_EQ(Str(records[0], "new_version"), "V4.02.N.01");
    EXPECT_EQ(Str(records[0], "image_crc32"), summary.substr(summary.find("crc32=") + 6, 8));
    Flash version({"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_NE(version.stdoutText.find("CRC-32 " + Str(records[0], "image_crc32") + "\n"),
              std::string::npos);
    EXPECT_EQ(Str(records[0], "outcome"), "complete");
    EXPECT_FALSE(Str(records[0], "start").empty());
    EXPECT_GT(records[0].value("duration").toDouble(), 0.0);
    std::remove(log.c_str());
}

TEST(Flash, SharedPortIsNamedAndPlainProgressReachesTheEnd) {
    BoardSim sim(Board());
    PortHolder other(sim.path, "sleep");
    Flash flash({"--port", sim.path, "--yes"});
    const int status = flash.Wait();
    int simStatus = -1;
    const std::string summary = sim.Finish(&simStatus);
    EXPECT_EQ(status, 0) << flash.err;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
    EXPECT_TRUE(flash.stdoutText.empty()) << flash.stdoutText;
    const std::string& err = flash.err;
    EXPECT_NE(err.find("Warning: " + sim.path + " is also open in sleep (pid " +
                       std::to_string(other.pid) + ")"),
              std::string::npos)
        << err;
    // The simulated board holds both ends of its line; it is the far end, not a second user.
    EXPECT_EQ(err.find("vantra-boardsim"), std::string::npos) << err;
    EXPECT_NE(err.find("Current Version: V4.01\nSerial Number: 30417265\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("New Version: V4.02.N.01"), std::string::npos) << err;
    // Standard error is a file: a line at every tenth, the last at 100 %.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = err.find("Progress:", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 10u) << err;
    EXPECT_NE(err.find("Progress: 100%  536/536 blocks"), std::string::npos) << err;
    EXPECT_NE(err.find("Transfer Complete.\n536 of 536 blocks sent, 536 acknowledged"),
              std::string::npos)
        << err;
}

TEST(Flash, BoardSilentAtBlockTenFailsAfterElevenBlocks) {
    BoardSim sim(Board({"--stop-at", "10"}));
    Flash flash({"--port", sim.path, "--yes", "--json"});
    const int status = flash.Wait();
    int simStatus = -1;
    const std::string summary = sim.Finish(&simStatus);
    EXPECT_EQ(status, 1) << flash.err;
    EXPECT_NE(summary.find("blocks=11 "), std::string::npos) << summary;
    const std::vector<QJsonObject> events = ParseLines(flash.stdoutText);
    ASSERT_FALSE(events.empty());
    const QJsonObject& outcome = events.back();
    EXPECT_EQ(Str(outcome, "outcome"), "failed");
    EXPECT_EQ(Str(outcome, "message"), "Transfer Failed. Sector did not write.");
    EXPECT_EQ(outcome.value("blocks_sent").toInt(), 11);
    EXPECT_EQ(outcome.value("blocks_acknowledged").toInt(), 10);
    EXPECT_EQ(outcome.value("exit").toInt(), 1);
}

TEST(Flash, BusyPortNamesTheProcessHoldingIt) {
    BoardSim sim(Board());
    PortHolder holder(sim.path, "sleep", true);
    Flash flash({"--port", sim.path, "--yes"});
    EXPECT_EQ(flash.Wait(), 2) << flash.err;
    EXPECT_NE(flash.err.find("Cannot Open Connection To Board.\n" + sim.path +
                             " is in use by sleep (pid " + std::to_string(holder.pid) + ")"),
              std::string::npos)
        << flash.err;
}

TEST(Flash, SecondInterruptStopsAfterTheBlockInFlight) {
    // At the real line speed, so the transfer is still running when the signal comes.
    BoardSim sim({"--baud", "38400"});
    Flash flash({"--port", sim.path, "--yes", "--json"});
    for (std::string line; !(line = flash.ReadLine()).empty();) {
        if (line.find("\"event\":\"progress\",") != std::string::npos &&
            line.find("\"block\":20,") != std::string::npos) {
            ::kill(flash.pid, SIGINT);  // only warns
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            ::kill(flash.pid, SIGINT);
            break;
        }
    }
    EXPECT_EQ(flash.Wait(), 130) << flash.err;
    int simStatus = -1;
    const std::string summary = sim.Finish(&simStatus);
    const std::vector<QJsonObject> events = ParseLines(flash.stdoutText);
    ASSERT_FALSE(events.empty());
    const QJsonObject& outcome = events.back();
    EXPECT_EQ(Str(outcome, "outcome"), "interrupted");
    EXPECT_EQ(Str(outcome, "message"), "Transfer Failed. Sector did not write.");
    // The block in flight was let finish: every block sent was acknowledged, and no more went.
    const int sent = outcome.value("blocks_sent").toInt();
    EXPECT_EQ(outcome.value("blocks_acknowledged").toInt(), sent);
    EXPECT_GE(sent, 30);  // the first press let the transfer run on
    EXPECT_LT(sent, 536);
    EXPECT_NE(summary.find("blocks=" + std::to_string(sent) + " "), std::string::npos) << summary;
}

TEST(Flash, AllUpgradesThreeBoardsAtOnceAndRecordsEach) {
    const std::string registry = testutil::TempPath("flash-hive");
    // Fast, but not so fast that a transfer (under a second here) ends before the others have
    // written their started records and begun.
    BoardSim first(Board({"--baud", "921600"}));
    BoardSim silent(Board({"--stop-at", "10"}));
    BoardSim third(Board({"--baud", "921600"}));
    // The children inherit it through VANTRA_REGISTRY.
    testutil::Hive hive(testutil::DriverList({first.path, silent.path, third.path}));
    const std::string log = testutil::TempPath("flash-log");

    Flash flash({"--all", "--yes", "--json", "--log", log});
    EXPECT_EQ(flash.Wait(), 1) << flash.err;

    // Each board's transfer began before any board's ended: they ran side by side.
    double lastStart = 0;
    double firstEnd = std::numeric_limits<double>::max();
    std::map<std::string, std::string> outcomes;
    for (const QJsonObject& e : ParseLines(flash.stdoutText)) {
        const double t = QDateTime::fromString(e.value("time").toString(), Qt::ISODateWithMs)
                             .toMSecsSinceEpoch() /
                         1000.0;
        if (Str(e, "event") == "transfer") lastStart = std::max(lastStart, t);
        if (Str(e, "event") == "outcome") {
            firstEnd = std::min(firstEnd, t);
            outcomes[Str(e, "port")] = Str(e, "outcome");
        }
    }
    EXPECT_LT(lastStart, firstEnd);
    EXPECT_EQ(outcomes,
              (std::map<std::string, std::string>{
                  {first.path, "complete"}, {silent.path, "failed"}, {third.path, "complete"}}));
    std::map<std::string, std::string> recorded;
    for (const QJsonObject& r : ParseLines(ReadFile(log)))
        recorded[Str(r, "port")] = Str(r, "outcome");
    EXPECT_EQ(recorded, outcomes);
    int status = -1;
    EXPECT_NE(first.Finish(&status).find("expect=match"), std::string::npos);
    EXPECT_NE(silent.Finish(&status).find("blocks=11 "), std::string::npos);
    EXPECT_NE(third.Finish(&status).find("expect=match"), std::string::npos);
    std::remove(log.c_str());
    std::remove(registry.c_str());
}

// The statuses not met above, each with the words a technician reads.
struct StatusCase {
    const char* name;
    const char* port;  // "board": a simulated board, "silent": a line nobody answers, "file"
    std::vector<std::string> args;
    const char* input;
    int status;
    const char* says;
};

class FlashStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(FlashStatus, EndsWithItsStatusAndSaysWhy) {
    const StatusCase& c = GetParam();
    std::unique_ptr<BoardSim> sim;
    std::unique_ptr<testutil::PtyPair> line;
    std::vector<std::string> args = c.args;
    if (std::string(c.port) == "board") {
        sim = std::make_unique<BoardSim>(Board());
        args.insert(args.end(), {"--port", sim->path});
    } else if (std::string(c.port) == "silent") {
        line = std::make_unique<testutil::PtyPair>();
        args.insert(args.end(), {"--port", line->path});
    }
    const std::string file = testutil::TempPath("notatty");
    if (std::string(c.port) == "file") {
        std::ofstream(file) << "x";
        args.insert(args.end(), {"--port", file});
    }
    Flash flash(args, c.input);
    EXPECT_EQ(flash.Wait(), c.status) << flash.err;
    EXPECT_NE(flash.err.find(c.says), std::string::npos) << flash.err;
    std::remove(file.c_str());
    if (sim) {
        int status = -1;
        EXPECT_NE(sim->Finish(&status).find("blocks=0 "), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashStatus,
    ::testing::Values(
        StatusCase{"UnknownOption", "", {"--frobnicate"}, "", 64, "unknown option: --frobnicate"},
        StatusCase{"PortAndAll", "", {"--all", "--port", "/dev/null"}, "", 64, "exclude"},
        StatusCase{"UnwritableLog",
                   "board",
                   {"--yes", "--log", "/nonexistent-dir/flash.log"},
                   "",
                   64,
                   "--log /nonexistent-dir/flash.log"},
        StatusCase{"MissingPort",
                   "",
                   {"--yes", "--port", "/dev/vantra-no-such-port"},
                   "",
                   2,
                   "Cannot Open Connection To Board.\n/dev/vantra-no-such-port does not exist"},
        StatusCase{"SilentLine", "silent", {"--yes"}, "", 3, "No board answered on"},
        StatusCase{
            "NotATerminal", "file", {"--yes"}, "", 2, "refused the line settings (38400 baud"},
        StatusCase{"NotConfirmed", "board", {}, "n\n", 1, "Not confirmed; nothing was sent."}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// A reader that pauses holds nothing up: standard output (or a terminal) is not read until every
// transfer is over and recorded, and --all's children have ended.
struct PausedCase {
    const char* name;
    int boards;         // 2: through --all
    bool ctrlCAtExit;  // then Ctrl-C while only the output waits, instead of reading on
};

class FlashPausedReader : public ::testing::TestWithParam<PausedCase> {};

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
    return n;
}

// Waits, without reading the program's output, until `log` holds `outcomes` outcome lines and
// the program has reaped every child it started.
bool TransfersEndUnread(const std::string& log, int outcomes, pid_t pid) {
    const std::string p = std::to_string(pid);
    return testutil::WaitUntil(
        [&] {
            return Count(ReadFile(log), "\"outcome\":\"complete\"") == outcomes &&
                   ReadFile("/proc/" + p + "/task/" + p + "/children").empty();
        },
        30000);
}

TEST_P(FlashPausedReader, TransferRunsOnAndEveryEventArrivesWhole) {
    const PausedCase& c = GetParam();
    std::vector<std::unique_ptr<BoardSim>> sims;
    std::vector<std::string> ports;
    for (int i = 0; i < c.boards; ++i) {
        sims.push_back(std::make_unique<BoardSim>(Board()));
        ports.push_back(sims.back()->path);
    }
    const std::string log = testutil::TempPath("flash-log");
    std::vector<std::string> args{"--yes", "--json", "--log", log};
    std::unique_ptr<testutil::Hive> hive;
    if (c.boards > 1) {
        hive = std::make_unique<testutil::Hive>(testutil::DriverList(ports));
        args.push_back("--all");
    } else {
        args.insert(args.end(), {"--port", sims[0]->path});
    }
    Flash flash(args);
    ASSERT_TRUE(TransfersEndUnread(log, c.boards, flash.pid)) << ReadFile(log);

    if (c.ctrlCAtExit) {
        ::kill(flash.pid, SIGINT);
        int raw = -1;
        ASSERT_TRUE(testutil::WaitUntil([&] { return ::waitpid(flash.pid, &raw, WNOHANG) > 0; }));
        flash.pid = -1;
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;  // the board's own status
        while (!flash.ReadLine(2000).empty()) {
        }
        EXPECT_EQ(flash.pending, "");  // what got out before the rest was given up is whole
    } else {
        EXPECT_EQ(flash.Wait(), 0) << flash.err;
    }

    std::map<std::string, int> blocks;  // the last progress block, per port
    std::map<std::string, std::string> outcomes;
    for (const QJsonObject& e : ParseLines(flash.stdoutText)) {
        const std::string port = Str(e, "port");
        EXPECT_EQ(outcomes.count(port), 0u) << "after the outcome: " << Str(e, "event");
        if (Str(e, "event") == "progress") {
            EXPECT_EQ(e.value("block").toInt(), ++blocks[port]);
        }
        if (Str(e, "event") == "outcome") outcomes[port] = Str(e, "outcome");
    }
    for (const QJsonObject& r : ParseLines(ReadFile(log))) {
        if (Str(r, "outcome") == "complete") {
            EXPECT_LT(r.value("duration").toDouble(), 2.0);  // the transfer's own time
        }
    }
    for (const auto& sim : sims) {
        if (c.ctrlCAtExit) {
            EXPECT_GT(blocks[sim->path], 0);
        } else {
            EXPECT_EQ(blocks[sim->path], 536) << sim->path;
            EXPECT_EQ(outcomes[sim->path], "complete") << sim->path;
        }
        int status = -1;
        EXPECT_NE(sim->Finish(&status).find("expect=match"), std::string::npos) << sim->path;
    }
    std::remove(log.c_str());
}

INSTANTIATE_TEST_SUITE_P(Cases, FlashPausedReader,
                         ::testing::Values(PausedCase{"OneBoard", 1, false},
                                           PausedCase{"OneBoardCtrlCAtExit", 1, true},
                                           PausedCase{"AllTwoBoards", 2, false}),
                         [](const ::testing::TestParamInfo<PausedCase>& info) {
                             return std::string(info.param.name);
                         });

// vantra-flash with standard error on a pseudo-terminal whose other end (`master`) is the test's.
struct TerminalFlash : Flash {
    explicit TerminalFlash(std::vector<std::string> args) {
        int slave = -1;
        EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        args.insert(args.begin(), VANTRA_FLASH);
        pid = testutil::Spawn(std::move(args), -1, fds[1], ::ttyname(slave));
        ::close(fds[1]);
        ::close(slave);
        out = fds[0];
    }
    ~TerminalFlash() { ::close(master); }
    void Type(char key) const { EXPECT_EQ(::write(master, &key, 1), 1); }
    // All the terminal shows until the program has gone.
    std::string Screen() const {
        std::string text;
        char buf[4096];
        pollfd p{master, POLLIN, 0};
        ssize_t n = 0;
        while (::poll(&p, 1, 30000) > 0 && (n = ::read(master, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
    int master = -1;
};

TEST(FlashPausedReader, CtrlSAtTheTerminalHoldsNeitherTheBoardNorTheBarsEnd) {
    BoardSim sim(Board({"--baud", "460800"}));  // about 2 s, the bar redrawn 20 times
    const std::string log = testutil::TempPath("flash-log");
    TerminalFlash flash({"--port", sim.path, "--yes", "--log", log});
    ASSERT_TRUE(testutil::WaitUntil([&] { return !ReadFile(log).empty(); }, 30000));
    flash.Type('\x13');  // Ctrl-S: the terminal takes no more
    EXPECT_TRUE(TransfersEndUnread(log, 1, flash.pid)) << ReadFile(log);
    flash.Type('\x11');  // Ctrl-Q
    const std::string screen = flash.Screen();
    EXPECT_EQ(flash.Wait(), 0);
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("expect=match"), std::string::npos);
    // The last bar drawn is the one at 100 %, and the verdict follows it.
    const std::size_t bar = screen.rfind("\r[");
    ASSERT_NE(bar, std::string::npos) << screen;
    const std::string full = "\r[" + std::string(30, '#') + "] 100%  536/536 blocks";
    EXPECT_EQ(screen.substr(bar, full.size()), full) << screen;
    EXPECT_NE(screen.find("\nTransfer Complete.\r\n536 of 536 blocks sent, 536 acknowledged", bar),
              std::string::npos)
        << screen;
    std::remove(log.c_str());
}

}  // namespace
