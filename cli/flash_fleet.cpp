#include "cli/flash_fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "cli/adapter_identity.h"
#include "cli/flash_board.h"
#include "cli/flash_report.h"
#include "cli/json_line.h"
#include "cli/output_queue.h"
#include "cli/port_holders.h"
#include "cli/second_interrupt.h"
#include "platform/host_signals.h"
#include "platform/text.h"
#include "transport/port_discovery.h"
#include "upgrade/firmware_transfer.h"

extern char** environ;

namespace {

constexpr std::size_t kMaxBoards = 64;

// The children run in process groups of their own, so a terminal's Ctrl-C, Ctrl-Z and hang-up
// reach this process alone: it decides once for every board (one warning, not one per board),
// and tells the children to stop with SIGUSR1.
constexpr char kInterruptWarning[] =
    "Stopping now leaves the boards being upgraded with incomplete images. Press Ctrl-C again "
    "within 5 s to stop each after its block in flight.";

struct Board {
    std::string port;
    AdapterIdentity identity;
    pid_t pid = -1;
    int out = -1;        // the child's events
    std::string buffer;  // a line not yet complete
    int err = -1;        // the child's standard error
    std::string errBuffer;
    std::string state = "starting";
    std::string version;
    std::string serial;
    std::string outcome;
    int tenth = -1;  // of the transfer, last shown as a line of its own
    int status = -1;
    bool transferring = false;  // from its first block to its verdict
};

// The line a terminal shows for a board: its port, the socket it sits in, what it answered and
// how it is going. Every text from a board or a child is shown, not obeyed.
std::string BoardLine(const Board& b) {
    const std::string where = DescribeIdentity(b.identity);
    std::string line =
        platform::EscapeText(b.port) + (where.empty() ? "" : " (" + where + ")") + "  ";
    if (!b.version.empty()) line += b.version + (b.serial.empty() ? "" : " #" + b.serial) + "  ";
    return platform::EscapeText(line + (b.outcome.empty() ? b.state : b.outcome));
}

// The ports the driver list names, each device once: two entries (or an entry and a sysfs
// adapter) can name one device, by one name or two, and a board must not be upgraded by two
// processes at once. Then in the order of their sockets, so line N is the same socket each run.
std::vector<Board> DistinctBoards(char (*names)[kPortNameBytes], std::size_t count) {
    std::vector<Board> boards;
    std::set<std::string> seenNames;
    std::set<dev_t> seenDevices;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string device = DevicePathOf(names[i]);
        struct stat st {};
        const bool numbered = ::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
        if (!seenNames.insert(device).second) continue;
        if (numbered && !seenDevices.insert(st.st_rdev).second) continue;
        Board b;
        b.port = names[i];
        b.identity = IdentifyAdapter(device);
        boards.push_back(std::move(b));
    }
    std::stable_sort(boards.begin(), boards.end(), [](const Board& a, const Board& b) {
        return BeforeInSocketOrder(a.identity.path, b.identity.path);
    });
    return boards;
}

// This program's own file, so a child's name in /proc is vantra-flash (by /proc/self/exe it
// would be "exe", which is what a technician would read when it holds a port).
std::string OwnProgram() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "/proc/self/exe";
    const std::string program(path, static_cast<std::size_t>(n));
    // Replaced while running (an upgrade of the package): the old file is only reachable there.
    const std::string deleted = " (deleted)";
    if (program.size() > deleted.size() &&
        program.compare(program.size() - deleted.size(), deleted.size(), deleted) == 0)
        return "/proc/self/exe";
    return program;
}

// Reads one event of a child: updates the board, and says whether it is worth a line of its own
// when standard error is not a terminal.
bool TakeEvent(Board& b, const std::string& line) {
    std::string event;
    std::string value;
    if (!JsonField(line, "event", &event)) return false;
    if (event == "port") {
        b.state = "waiting for the board";
        return true;
    }
    if (event == "version" && JsonField(line, "version", &value)) {
        b.version = value;
        b.state = "answered";
        return true;
    }
    if (event == "transfer") {
        b.transferring = true;
        return false;
    }
    if (event == "serial" && JsonField(line, "serial", &value)) {
        b.serial = value;
        return false;
    }
    if (event == "warning" || event == "error") {
        JsonField(line, "message", &value);
        std::string detail;
        if (JsonField(line, "detail", &detail) && !detail.empty()) value += " " + detail;
        if (event == "error")
            b.outcome = value;
        else
            b.state = value;
        return true;
    }
    if (event == "progress") {
        std::string block;
        std::string blocks;
        std::string rate;
        std::string left;
        JsonField(line, "percent", &value);
        JsonField(line, "block", &block);
        JsonField(line, "blocks", &blocks);
        JsonField(line, "bytes_per_second", &rate);
        JsonField(line, "seconds_left", &left);
        const double percent = std::atof(value.c_str());
        char text[128];
        std::snprintf(text, sizeof text, "%d%%  %s/%s blocks  %.1f kB/s  %.0f s left",
                      static_cast<int>(percent), block.c_str(), blocks.c_str(),
                      std::atof(rate.c_str()) / 1000.0, std::atof(left.c_str()));
        b.state = text;
        const int tenth = static_cast<int>(percent) / 10;
        const bool changed = tenth != b.tenth;
        b.tenth = tenth;
        return changed;
    }
    if (event == "outcome") b.transferring = false;
    if (event == "outcome" && JsonField(line, "message", &value)) {
        std::string sent;
        std::string acknowledged;
        JsonField(line, "blocks_sent", &sent);
        JsonField(line, "blocks_acknowledged", &acknowledged);
        std::string word;
        JsonField(line, "outcome", &word);
        b.outcome = (word == "interrupted" ? "Interrupted. " : "") + value + " (" + sent +
                    " blocks sent, " + acknowledged + " acknowledged)";
        return true;
    }
    return false;
}

bool Spawn(Board& b, const FlashOptions& options, const std::string& program) {
    int fds[2];
    int errFds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    if (::pipe2(errFds, O_CLOEXEC) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    std::vector<std::string> args{"vantra-flash", "--port", b.port, "--yes", "--json"};
    if (options.ignorePower) args.push_back("--ignore-power");
    if (!options.log.empty()) {
        args.push_back("--log");
        args.push_back(options.log);
    }
    if (!options.sysroot.empty()) {
        args.push_back("--sysroot");
        args.push_back(options.sysroot);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    // Into this process's display, not across the lines it redraws.
    posix_spawn_file_actions_adddup2(&actions, errFds[1], STDERR_FILENO);
    // The children do not ask; only this process reads the terminal.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);  // a group of its own: the terminal's keys stay here
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE})
        sigaddset(&defaults, number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    const int rc =
        posix_spawn(&b.pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    ::close(errFds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        ::close(errFds[0]);
        b.pid = -1;
        return false;
    }
    b.out = fds[0];
    b.err = errFds[0];
    return true;
}

// 0 only when every board completed; otherwise the gravest status any board ended with. A child
// that died (a signal, a crash) may have left its board half-written: that is a failed transfer.
int CombinedStatus(const std::vector<Board>& boards) {
    constexpr int kByGravity[] = {kExitInterrupted, kExitFailed,   kExitLowPower,
                                  kExitNoAnswer,    kExitNoPort,   kExitNotRecorded};
    int worst = kExitComplete;
    for (const int status : kByGravity) {
        for (const Board& b : boards) {
            if (b.status == kExitComplete || worst != kExitComplete) continue;
            const bool known = b.status == kExitInterrupted || b.status == kExitNoAnswer ||
                               b.status == kExitNoPort || b.status == kExitLowPower ||
                               b.status == kExitNotRecorded;
            if ((known ? b.status : kExitFailed) == status) worst = status;
        }
    }
    return worst;
}

}  // namespace

int FlashAllBoards(const FlashOptions& options) {
    platform::CatchSignals({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    static char names[kMaxBoards][kPortNameBytes];
    std::vector<Board> boards = DistinctBoards(names, FindAdapterPorts(names, kMaxBoards));
    const std::size_t found = boards.size();
    if (found == 0) {
        WriteAll(STDERR_FILENO,
                 "No matching serial adapter found: nothing to upgrade. Plug the adapters in, "
                 "or name each board's port with --port.\n");
        return kExitNoPort;
    }

    const bool json = options.json;
    const bool terminal = !json && ::isatty(STDERR_FILENO) != 0;
    std::string list;
    for (const Board& b : boards) {
        const std::string where = DescribeIdentity(b.identity);
        list +=
            "  " + platform::EscapeText(b.port) + (where.empty() ? "" : " (" + where + ")") + "\n";
    }
    if (!json) WriteAll(STDERR_FILENO, "Boards to upgrade:\n" + list);
    if (!options.yes) {
        if (!json) {
            WriteAll(STDERR_FILENO,
                     std::string("\n") + kWarningText + "\n" + kNewVersionText + "\n\n");
        }
        const bool confirmed =
            Confirm(("Upgrade all " + std::to_string(found) + " boards now?").c_str());
        platform::CaughtSignal caught;
        if (platform::TakeCaughtSignal(&caught)) {
            WriteAll(STDERR_FILENO, "Interrupted; nothing was sent to the boards.\n");
            if (caught.number == SIGINT) return kExitInterrupted;
            FlushOutputAtExit();
            platform::RestoreSignal(caught.number);
            ::raise(caught.number);
            return 128 + caught.number;
        }
        if (!confirmed) {
            WriteAll(STDERR_FILENO, "Not confirmed; nothing was sent.\n");
            return kExitFailed;
        }
    }

    std::signal(SIGPIPE, SIG_IGN);
    platform::CatchSignals({SIGTSTP});  // from here on a stopped parent would stall the children

    const std::string program = OwnProgram();
    for (Board& b : boards) {
        if (!Spawn(b, options, program)) {
            b.outcome = "could not start a process for this port";
            b.status = kExitNoPort;
        }
    }
    if (terminal) {
        WriteAll(STDERR_FILENO, std::string(boards.size(), '\n'));  // the lines redrawn below
    }

    bool stopping = false;
    CSecondInterrupt interrupts;
    bool heldSaid = false;
    bool stopHeld = false;
    int endBy = 0;  // a signal that ends this program once the children have ended
    auto say = [&](const std::string& text) {
        if (json) {
            WriteAll(STDOUT_FILENO, JsonLine()
                                        .Text("event", "warning")
                                        .Text("time", UtcTimestamp())
                                        .Text("message", text)
                                        .Finish());
        } else {
            // Above the boards' lines, which are then drawn again below it.
            WriteAll(STDERR_FILENO, "Warning: " + text + "\n" +
                                        (terminal ? std::string(boards.size(), '\n') : ""));
        }
    };
    auto stopAll = [&] {
        if (stopping) return;
        stopping = true;
        for (const Board& b : boards) {
            if (b.pid > 0 && b.out >= 0) ::kill(b.pid, SIGUSR1);
        }
    };
    for (;;) {
        bool anyTransferring = false;
        for (const Board& b : boards) anyTransferring = anyTransferring || b.transferring;
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGINT) {
                if (!anyTransferring || interrupts.Stops(s)) {
                    stopAll();  // nothing sent yet, or asked twice: each stops where it is safe
                } else {
                    say(kInterruptWarning);
                }
            } else if (s.number == SIGTSTP) {
                stopHeld = true;  // a stopped reader would stall every child's events
            } else if (!anyTransferring) {
                endBy = s.number;  // before any transfer: the program ends, as it always has
                stopAll();
            } else if (!heldSaid) {
                heldSaid = true;
                say("signal received during the transfers: it takes effect after the verdicts.");
            }
        }
        std::vector<pollfd> polls;
        std::vector<Board*> owners;
        for (Board& b : boards) {
            for (const int fd : {b.out, b.err}) {
                if (fd < 0) continue;
                polls.push_back({fd, POLLIN, 0});
                owners.push_back(&b);
            }
        }
        if (polls.empty()) break;
        polls.push_back({platform::CaughtSignalsDescriptor(), POLLIN, 0});
        if (::poll(polls.data(), polls.size(), 200) <= 0) continue;
        polls.pop_back();
        bool redraw = false;
        std::string said;  // the children's own lines, shown above the boards' lines
        for (std::size_t i = 0; i < polls.size(); ++i) {
            if (polls[i].revents == 0) continue;
            Board& b = *owners[i];
            const bool isErr = polls[i].fd == b.err;
            char chunk[4096];
            const ssize_t n = ::read(polls[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                ::close(polls[i].fd);
                (isErr ? b.err : b.out) = -1;
                if (isErr && !b.errBuffer.empty()) {
                    said += platform::EscapeText(b.port) + ": " +
                            platform::EscapeText(b.errBuffer) + "\n";
                    b.errBuffer.clear();
                }
                continue;
            }
            std::string& buffer = isErr ? b.errBuffer : b.buffer;
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = buffer.find('\n')) != std::string::npos) {
                const std::string line = buffer.substr(0, end + 1);
                buffer.erase(0, end + 1);
                if (isErr) {
                    said += platform::EscapeText(b.port) + ": " +
                            platform::EscapeText(line.substr(0, line.size() - 1)) + "\n";
                    continue;
                }
                if (json) WriteAll(STDOUT_FILENO, line);  // whole, and never waited on
                const bool notable = TakeEvent(b, line);
                redraw = true;
                if (!json && !terminal && notable) {
                    WriteAll(STDERR_FILENO, BoardLine(b) + "\n");
                }
            }
        }
        if (!said.empty() && !terminal) WriteAll(STDERR_FILENO, said);
        if (!said.empty() && terminal) {
            // Above the boards' lines, which move down to make room: written over their top.
            std::string text;
            for (std::size_t start = 0; start < said.size();) {
                const std::size_t nl = said.find('\n', start);
                text += "\r" + said.substr(start, nl - start) + "\033[K\n";
                start = nl + 1;
            }
            WriteAll(STDERR_FILENO, "\033[" + std::to_string(boards.size()) + "A" + text +
                                        std::string(boards.size(), '\n'));
            redraw = true;
        }
        if (terminal && redraw) {
            // A line that wrapped would throw the cursor-up count off: each is cut to the width.
            winsize size{};
            const std::size_t width =
                ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1
                    ? size.ws_col - 1
                    : std::string::npos;
            std::string screen = "\033[" + std::to_string(boards.size()) + "A";
            for (const Board& b : boards)
                screen += "\r" + BoardLine(b).substr(0, width) + "\033[K\n";
            RedrawLine(STDERR_FILENO, screen);  // replaces one the terminal has not taken yet
        }
    }

    for (Board& b : boards) {
        if (b.pid <= 0) continue;
        int raw = 0;
        while (::waitpid(b.pid, &raw, 0) < 0 && errno == EINTR) {
        }
        b.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        b.transferring = false;
        if (b.outcome.empty()) {
            b.outcome = b.status == kExitInterrupted
                            ? "interrupted before the transfer"
                            : "ended with status " + std::to_string(b.status);
        }
    }
    int complete = 0;
    for (const Board& b : boards) complete += b.status == kExitComplete ? 1 : 0;
    if (!json) {
        // A terminal already shows each board's last word in place.
        if (!terminal) {
            for (const Board& b : boards) WriteAll(STDERR_FILENO, BoardLine(b) + "\n");
        }
        WriteAll(STDERR_FILENO, std::to_string(complete) + " of " + std::to_string(found) +
                                    " boards completed.\n");
    }
    if (endBy != 0 || stopHeld) FlushOutputAtExit();  // out before the program ends or stops
    if (endBy != 0) {
        platform::RestoreSignal(endBy);
        ::raise(endBy);
    }
    if (stopHeld) {
        platform::RestoreSignal(SIGTSTP);
        ::raise(SIGTSTP);
    }
    return CombinedStatus(boards);
}
