// vantra-flash and the computer around it: signals held through a transfer, a terminal that hangs
// up, the logind lock, the battery check, a bus that never answers, the record's two lines, and
// a log that is not a file. logind and UPower are python3-dbusmock's on a private system bus
// (tests/support/host_bus.h); the hung bus is tests/support/wedged_bus.h.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/flash_child.h"
#include "tests/support/host_bus.h"
#include "tests/support/listed_board.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"
#include "tests/support/wedged_bus.h"

namespace {

using testutil::BoardSim;
using testutil::HostBus;

using clitest::ReadFile;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) return "<missing>";
    std::size_t from = at + tag.size();
    if (line[from] == '"') return line.substr(from + 1, line.find('"', from + 1) - from - 1);
    return line.substr(from, line.find_first_of(",}", from) - from);
}

bool IsEvent(const std::string& line, const char* event) {
    return line.find("\"event\":\"" + std::string(event) + "\"") != std::string::npos;
}

bool IsProgress(const std::string& line, int block) {
    return line.find("\"event\":\"progress\"") != std::string::npos &&
           Field(line, "block") == std::to_string(block);
}

enum class Stdio { Pipe, Terminal };

// vantra-flash as a child. With Stdio::Terminal it runs in a session of its own on a
// pseudo-terminal that is its controlling terminal, as in a terminal window: closing the master
// is the window closing. `group` puts it in a process group of its own, so a signal sent to that
// group is what a terminal's Ctrl-C would send.
struct Flash : clitest::Flash {
    Flash(std::vector<std::string> args, Stdio stdio = Stdio::Pipe) {
        args.insert(args.begin(), VANTRA_FLASH);
        errPath = testutil::TempPath("host-err");
        int fds[2] = {-1, -1};
        int slave = -1;
        if (stdio == Stdio::Terminal) {
            EXPECT_EQ(::openpty(&out, &slave, nullptr, nullptr, nullptr), 0);
            ::fcntl(out, F_SETFD, FD_CLOEXEC);
        } else {
            EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
            out = fds[0];
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            const int devnull = ::open("/dev/null", O_RDONLY);
            ::dup2(devnull, 0);
            if (stdio == Stdio::Terminal) {
                ::setsid();
                ::ioctl(slave, TIOCSCTTY, 0);
                ::dup2(slave, 1);
                ::dup2(slave, 2);
            } else {
                ::setpgid(0, 0);
                ::dup2(fds[1], 1);
                const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ::dup2(err, 2);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (slave >= 0) ::close(slave);
        if (fds[1] >= 0) ::close(fds[1]);
    }
    // Reads output until a line satisfies `want`; false at the end of output.
    template <class Want>
    bool ReadUntil(Want want) {
        for (std::string line; !(line = ReadLine(60000)).empty();) {
            if (want(line)) return true;
        }
        return false;
    }

    int Count(const std::string& needle) const {
        int n = 0;
        for (std::size_t at = 0; (at = stdoutText.find(needle, at)) != std::string::npos; ++at) ++n;
        return n;
    }
};

std::vector<std::string> Board(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--expect", VANTRA_FIRMWARE_144_BIN};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

constexpr char kCtrlCWarning[] = "Stopping now leaves the board";

// At the real line speed, so the transfer is running when each signal comes: SIGTERM at block
// 50 and one Ctrl-C at block 60 are held, and at block 70 the terminal goes away (SIGHUP, and
// every later write fails). The board still gets the whole image, the record is complete, and
// the logind lock is held exactly from the first block to the verdict.
TEST(HostCli, HeldSignalsAndAHungUpTerminalLetTheUpgradeFinish) {
    HostBus host;
    ASSERT_EQ(host.Error(), "");
    BoardSim sim(Board({"--baud", "38400"}));
    const std::string log = testutil::TempPath("host-log");
    Flash flash({"--port", sim.path, "--yes", "--json", "--log", log}, Stdio::Terminal);

    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) {
        return l.find("\"event\":\"serial\"") != std::string::npos;
    })) << flash.stdoutText;
    EXPECT_TRUE(host.Inhibitors().empty());  // not before the transfer
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 40); }));
    const std::vector<std::string> locks = host.Inhibitors();
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0],
              "sleep:shutdown:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
              "handle-lid-switch|Vantra|A firmware upgrade is in progress; interrupting it may "
              "disable the instrument.|block");
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 50); }));
    ::kill(flash.pid, SIGTERM);
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 60); }));
    ::kill(flash.pid, SIGINT);
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 70); }));
    EXPECT_EQ(flash.Count(kCtrlCWarning), 1) << flash.stdoutText;
    EXPECT_EQ(flash.Count("SIGTERM received during the transfer"), 1) << flash.stdoutText;
    ::close(flash.out);  // the terminal window closes
    flash.out = -1;

    EXPECT_EQ(flash.Wait(), 0);
    int simStatus = -1;
    const std::string summary = sim.Finish(&simStatus);
    EXPECT_NE(summary.find("blocks=536 "), std::string::npos) << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
    EXPECT_TRUE(host.Inhibitors().empty());

    const std::vector<std::string> records = Lines(ReadFile(log));
    ASSERT_EQ(records.size(), 2u) << ReadFile(log);
    EXPECT_EQ(Field(records[0], "outcome"), "started");
    EXPECT_EQ(Field(records[1], "outcome"), "complete");
    EXPECT_EQ(Field(records[0], "upgrade_id").size(), 32u);
    EXPECT_EQ(Field(records[0], "upgrade_id"), Field(records[1], "upgrade_id"));
    EXPECT_EQ(Field(records[1], "blocks_acknowledged"), "536");
    std::remove(log.c_str());
}

// A board that stops answering at block 10 keeps the transfer waiting for two seconds: killed
// then (nothing can stop SIGKILL), the record holds a started line and no outcome; left alone,
// the transfer fails and the lock goes with the verdict.
TEST(HostCli, KilledMidTransferLeavesAStartedLineAndAFailureReleasesTheLock) {
    HostBus host;
    ASSERT_EQ(host.Error(), "");
    const std::string log = testutil::TempPath("host-log");
    for (const bool kill : {true, false}) {
        BoardSim sim(Board({"--baud", "0", "--stop-at", "10"}));
        Flash flash({"--port", sim.path, "--yes", "--json", "--log", log});
        ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 10); }));
        EXPECT_EQ(host.Inhibitors().size(), 1u);
        if (kill) ::kill(flash.pid, SIGKILL);
        EXPECT_EQ(flash.Wait(), kill ? 128 + SIGKILL : 1) << flash.err;
        EXPECT_TRUE(testutil::WaitUntil([&] { return host.Inhibitors().empty(); }));
    }
    const std::vector<std::string> records = Lines(ReadFile(log));
    ASSERT_EQ(records.size(), 3u) << ReadFile(log);
    EXPECT_EQ(Field(records[0], "outcome"), "started");
    EXPECT_EQ(Field(records[1], "outcome"), "started");
    EXPECT_EQ(Field(records[2], "outcome"), "failed");
    EXPECT_NE(Field(records[0], "upgrade_id"), Field(records[1], "upgrade_id"));
    EXPECT_EQ(Field(records[1], "upgrade_id"), Field(records[2], "upgrade_id"));
    std::remove(log.c_str());
}

// One Ctrl-C at the terminal reaches the whole foreground group: the parent warns once for all
// three boards, and every board completes.
TEST(HostCli, OneCtrlCWithAllWarnsOnceAndEveryBoardCompletes) {
    const std::vector<std::string> args = Board({"--baud", "38400"});
    BoardSim a(args);
    BoardSim b(args);
    BoardSim c(args);
    testutil::Hive hive(testutil::DriverList({a.path, b.path, c.path}));
    Flash flash({"--all", "--yes", "--json"});
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 50); }));
    ::kill(-flash.pid, SIGINT);  // the terminal's Ctrl-C goes to the process group
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_EQ(flash.Count(kCtrlCWarning), 1) << flash.stdoutText;
    EXPECT_EQ(flash.Count("\"outcome\":\"complete\""), 3) << flash.stdoutText;
    for (BoardSim* sim : {&a, &b, &c}) {
        int status = -1;
        EXPECT_NE(sim->Finish(&status).find("expect=match"), std::string::npos);
    }
}

// Before the first block a Ctrl-C ends the program at once, and with the port closed: its
// exclusive mode is gone, so another account opens it straight away.
TEST(HostCli, CtrlCDuringStartUpLeavesThePortFreeForAnotherAccount) {
    BoardSim sim(Board({"--baud", "0"}));
    Flash flash({"--port", sim.path, "--yes", "--json"});
    ASSERT_TRUE(flash.ReadUntil(
        [](const std::string& l) { return l.find("\"event\":\"port\"") != std::string::npos; }));
    ::kill(flash.pid, SIGINT);
    EXPECT_EQ(flash.Wait(), 130);
    EXPECT_NE(flash.err.find("Interrupted; nothing was sent to the board."), std::string::npos)
        << flash.err;
    EXPECT_EQ(testutil::OpenErrorForAnotherAccount(sim.path), 0);
}

// On a battery at 5 % nothing is sent and the status says why; --ignore-power starts anyway,
// and so does a battery at 60 %. (Mains power and no UPower at all are the other tests' hosts.)
TEST(HostCli, LowBatteryRefusesUnlessIgnored) {
    struct Case {
        double percentage;
        bool ignore;
        int status;
    };
    for (const Case c : {Case{5, false, 4}, Case{5, true, 0}, Case{60, false, 0}}) {
        SCOPED_TRACE(std::to_string(c.percentage) + (c.ignore ? " --ignore-power" : ""));
        HostBus host({true, true, c.percentage});
        ASSERT_EQ(host.Error(), "");
        BoardSim sim(Board({"--baud", "0"}));
        std::vector<std::string> args{"--port", sim.path, "--yes"};
        if (c.ignore) args.push_back("--ignore-power");
        Flash flash(args);
        EXPECT_EQ(flash.Wait(), c.status) << flash.err;
        int status = -1;
        const std::string summary = sim.Finish(&status);
        if (c.status == 0) {
            EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
        } else {
            EXPECT_NE(summary.find("blocks=0 "), std::string::npos) << summary;
            EXPECT_NE(flash.err.find("Battery Too Low. Connect The Charger Before Upgrading."),
                      std::string::npos)
                << flash.err;
        }
    }
}

// A system bus that takes the connection and never answers: both checks (battery, then the
// lock) share one 2 s deadline, so the first block follows the board's reply within 3 s, not
// after sd-bus's own 90 s per check. The upgrade goes ahead, says so, and completes.
TEST(HostCli, AWedgedSystemBusDelaysTheStartByOneDeadlineAndTheUpgradeCompletes) {
    testutil::WedgedBus bus;
    ASSERT_EQ(bus.Error(), "");
    BoardSim sim(Board({"--baud", "0"}));
    Flash flash({"--port", sim.path, "--yes", "--json"});
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsEvent(l, "serial"); }));
    const auto answered = std::chrono::steady_clock::now();
    // The transfer event comes between the two checks; the first block comes after both.
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsEvent(l, "progress"); }))
        << flash.stdoutText;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - answered).count();
    std::printf("the board's reply to the first block, system bus wedged: %.2f s\n", seconds);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.stdoutText.find("could not be kept from sleeping or shutting down during the "
                                    "upgrade (the system bus did not answer in time)"),
              std::string::npos)
        << flash.stdoutText;
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("expect=match"), std::string::npos);
}

// logind answering, but not as asked: refusing the full lock (polkit may deny the handle-*
// keys) gets sleep:shutdown:idle held instead, and said.
TEST(HostCli, TheNarrowerLockIsHeldWhenLogindRefusesPartOfIt) {
    HostBus host;
    ASSERT_EQ(host.Error(), "");
    ASSERT_EQ(host.PrefaceInhibit("if args[0] != 'sleep:shutdown:idle':\n"
                                  "    raise dbus.exceptions.DBusException('Permission denied', "
                                  "name='org.freedesktop.DBus.Error.AccessDenied')"),
              "");
    // Block 5's acknowledgement is held back, so the transfer is still running when looked at.
    BoardSim sim(Board({"--baud", "0", "--fault", "delay:5:1500"}));
    Flash flash({"--port", sim.path, "--yes", "--json"});
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 3); }));
    const std::vector<std::string> locks = host.Inhibitors();
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].substr(0, locks[0].find('|')), "sleep:shutdown:idle");
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.stdoutText.find("logind would not hold off the lid switch and the power, "
                                    "suspend and hibernate keys (Permission denied)"),
              std::string::npos)
        << flash.stdoutText;
    EXPECT_EQ(flash.Count("could not be kept"), 0) << flash.stdoutText;
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("expect=match"), std::string::npos);
}

// A signal while logind is slow to answer the lock: the call is not cut short (the lock is
// taken), and since nothing has been sent the upgrade is refused and the lock let go again.
TEST(HostCli, ASignalDuringTheLockCallRefusesTheUpgradeAndLetsTheLockGo) {
    HostBus host;
    ASSERT_EQ(host.Error(), "");
    const std::string called = testutil::TempPath("inhibit-called");
    // logind notes the call and answers a second later (well inside the deadline).
    ASSERT_EQ(host.PrefaceInhibit("import time\nopen('" + called +
                                  "', 'w').close()\ntime.sleep(1)"),
              "");
    BoardSim sim(Board({"--baud", "0"}));
    Flash flash({"--port", sim.path, "--yes", "--json"});
    ASSERT_TRUE(testutil::WaitUntil([&] { return ::access(called.c_str(), F_OK) == 0; }));
    // To the main thread, which makes the call: one sent to the process may be taken by the
    // link's thread instead, and then interrupts nothing.
    ::syscall(SYS_tgkill, flash.pid, flash.pid, SIGINT);
    EXPECT_EQ(flash.Wait(), 130) << flash.err;
    EXPECT_NE(flash.err.find("Interrupted; nothing was sent to the board."), std::string::npos)
        << flash.err;
    EXPECT_EQ(flash.Count("could not be kept"), 0) << flash.stdoutText;
    EXPECT_TRUE(testutil::WaitUntil([&] { return host.Inhibitors().empty(); }));
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("blocks=0 "), std::string::npos);
    std::remove(called.c_str());
}

// A record must go to a regular file: a symbolic link, a FIFO and a directory are each refused
// before the port is opened.
TEST(HostCli, LogThatIsNotARegularFileIsRefusedBeforeAnyBoardIsTouched) {
    const std::string dir = testutil::TempPath("host-logdir");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::string target = dir + "/target";
    std::ofstream(target) << "";
    ASSERT_EQ(::symlink(target.c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0755), 0);
    const std::pair<const char*, const char*> cases[] = {
        {"link", "is a symbolic link"}, {"fifo", "is a FIFO"}, {"folder", "is a directory"}};
    for (const auto& [name, says] : cases) {
        testutil::PtyPair line;
        Flash flash({"--port", line.path, "--yes", "--log", dir + "/" + name});
        EXPECT_EQ(flash.Wait(), 64) << name;
        EXPECT_NE(flash.err.find(says), std::string::npos) << flash.err;
        EXPECT_TRUE(line.ReadMaster(1, 100).empty()) << name;  // nothing reached the line
    }
    EXPECT_EQ(ReadFile(target), "");
    for (const char* name : {"link", "fifo", "folder", "target"})
        ::remove((dir + "/" + name).c_str());
    ::rmdir(dir.c_str());
}

// Ctrl-Z during the transfer waits for the verdict; then the program stops, but only once the
// port is closed: stopped, it holds neither the port nor its lock, and the next run can have it.
TEST(HostCli, CtrlZHeldThroughATransferStopsWithThePortFree) {
    HostBus host;
    ASSERT_EQ(host.Error(), "");
    // Block 20's acknowledgement comes a second late, so the Ctrl-Z surely lands mid-transfer.
    BoardSim sim(Board({"--baud", "0", "--fault", "delay:20:1000"}));
    Flash flash({"--port", sim.path, "--yes", "--json"});
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 10); }));
    ::kill(flash.pid, SIGTSTP);
    // Not read meanwhile: the events wait in the program, which may stop before they are out.
    int raw = 0;
    ASSERT_EQ(::waitpid(flash.pid, &raw, WUNTRACED), flash.pid);
    EXPECT_TRUE(WIFSTOPPED(raw)) << raw;
    const int port = ::open(sim.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(::flock(port, LOCK_EX | LOCK_NB), 0) << "the stopped program holds the port";
    ::close(port);
    EXPECT_EQ(testutil::OpenErrorForAnotherAccount(sim.path), 0);
    ::kill(flash.pid, SIGCONT);
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.stdoutText.find("Transfer Complete."), std::string::npos);
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("expect=match"), std::string::npos);
}

}  // namespace

// The started line waits for a log another board holds, for longer than the bus checks' 2 s
// deadline: that wait is not charged to it, so the lock is still asked for and held.
TEST(HostCli, WaitingForTheLogLeavesTheLockItsShareOfTheDeadline) {
    HostBus host;
    ASSERT_EQ(host.Error(), "");
    const std::string log = testutil::TempPath("host-log");
    std::ofstream(log).close();
    const int other = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    BoardSim sim(Board({"--baud", "0", "--fault", "delay:5:1500"}));
    Flash flash({"--port", sim.path, "--yes", "--json", "--log", log});
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsEvent(l, "version"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    ::close(other);
    ASSERT_TRUE(flash.ReadUntil([](const std::string& l) { return IsProgress(l, 3); }));
    EXPECT_EQ(host.Inhibitors().size(), 1u);
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_EQ(flash.Count("could not be kept"), 0) << flash.stdoutText;
    int status = -1;
    EXPECT_NE(sim.Finish(&status).find("expect=match"), std::string::npos);
    std::remove(log.c_str());
}
