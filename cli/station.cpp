#include "cli/station.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cli/flash_board.h"
#include "cli/fleet_board.h"
#include "cli/fleet_children.h"
#include "cli/json_line.h"
#include "cli/output_queue.h"
#include "cli/port_holders.h"
#include "cli/second_interrupt.h"
#include "cli/station_display.h"
#include "platform/host_facts.h"
#include "platform/host_signals.h"
#include "platform/text.h"
#include "transport/port_discovery.h"
#include "upgrade/firmware_transfer.h"

using fleet::Board;

namespace {

// A new adapter's socket starts within a second of its appearing: sysfs is looked at this
// often (it costs a few directory reads).
constexpr double kLookEverySeconds = 0.5;
constexpr std::size_t kMaxSockets = 64;

// The station's first Ctrl-C with transfers running.
constexpr char kFinishing[] =
    "Stopping: no new board will be started, and the station ends when the transfers running "
    "have their verdicts. Press Ctrl-C again within 5 s to stop them after the blocks in flight; "
    "their boards will then need upgrading again.";

std::string DeviceOf(const std::string& port) {
    return DevicePathOf(port);
}

class Station {
public:
    Station(const FlashOptions& options, StationDisplay& display)
        : options_(options), display_(display) {}

    // The adapters there now: a socket started for each new one, the sockets of those gone told.
    void Look() {
        static char names[kMaxSockets][kPortNameBytes];
        std::vector<Board> found =
            fleet::DistinctBoards(names, FindAdapterPorts(names, kMaxSockets));
        // Ports named on the command line are there while their device is.
        for (const std::string& typed : options_.stationPorts) {
            const std::string port = UserPortName(typed.c_str());
            struct stat st {};
            if (::stat(DeviceOf(port).c_str(), &st) != 0) continue;
            const bool listed = std::any_of(found.begin(), found.end(), [&](const Board& b) {
                return DeviceOf(b.port) == DeviceOf(port);
            });
            if (listed) continue;
            Board b;
            b.port = port;
            b.identity = IdentifyAdapter(DeviceOf(port));
            found.push_back(std::move(b));
        }
        std::set<std::string> present;
        for (Board& f : found) {
            const std::string device = DeviceOf(f.port);
            present.insert(device);
            auto socketOf = [&] {
                return std::find_if(sockets_.begin(), sockets_.end(),
                                    [&](const Board& s) { return DeviceOf(s.port) == device; });
            };
            auto it = socketOf();
            if (it == sockets_.end()) {
                sockets_.push_back(std::move(f));
                std::stable_sort(sockets_.begin(), sockets_.end(),
                                 [](const Board& a, const Board& b) {
                                     return BeforeInSocketOrder(a.identity.path, b.identity.path);
                                 });
                it = socketOf();
                display_.Adapter(*it, true);
                Start(*it);
            } else if (it->adapterGone && it->pid <= 0) {
                // Plugged in again: a socket of its own once more.
                it->identity = f.identity;
                it->adapterGone = false;
                display_.Adapter(*it, true);
                Start(*it);
            }
        }
        for (Board& s : sockets_) {
            if (s.adapterGone || present.count(DeviceOf(s.port)) != 0) continue;
            s.adapterGone = true;
            if (s.pid > 0) ::kill(s.pid, SIGUSR2);  // its transfer, if any, fails as unplugged
            if (!s.transferring) s.state = "adapter gone";
            display_.Adapter(s, false);
        }
    }

    // Reads what the sockets said, up to 200 ms or until udev tells of a device (`devices`,
    // or -1), and reaps those that ended. True when udev told.
    bool Read(int devices) {
        std::string said;
        const bool reading = fleet::ReadChildren(
            sockets_, [&](Board& b, const std::string& line) { Take(b, line); }, &said, devices);
        if (!said.empty()) display_.Said(said);
        if (!reading) {
            // Nothing to read: the signals and udev alone are waited for.
            pollfd polls[2] = {{platform::CaughtSignalsDescriptor(), POLLIN, 0},
                               {devices, POLLIN, 0}};
            ::poll(polls, 2, 200);
        }
        for (Board& b : sockets_) Reap(b);
        pollfd told{devices, POLLIN, 0};
        if (devices < 0 || ::poll(&told, 1, 0) <= 0) return false;
        platform::DrainDeviceEvents(devices);
        return true;
    }

    // The operator's Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT). At rest, every socket stops at once;
    // with transfers running, none starts another board and each ends at its verdict, unless
    // a second Ctrl-C within 5 s stops them after the blocks in flight.
    void TakeSignals() {
        platform::CaughtSignal s;
        while (platform::TakeCaughtSignal(&s)) {
            if (s.number == SIGTSTP) {
                stopHeld_ = true;  // a stopped station would stall every socket's events
                continue;
            }
            const bool transferring = anyTransferring();
            if (!stopping_ && !transferring) {
                StopAll(SIGUSR1);
            } else if (!stopping_) {
                interrupts_.Stops(s);  // the first: a second within 5 s stops them
                StopAll(SIGTERM);
                display_.Warn(kFinishing);
            } else if (s.number == SIGINT && transferring && interrupts_.Stops(s)) {
                StopAll(SIGUSR1);
            }
        }
    }

    bool Done() const { return stopping_ && !anyRunning(); }
    bool stopping() const { return stopping_; }
    bool stopHeld() const { return stopHeld_; }
    const std::vector<Board>& sockets() const { return sockets_; }
    const StationTotals& totals() const { return totals_; }

    // 0 when every board met completed or was skipped, 1 when any failed, 130 when a transfer
    // was stopped half-way.
    int Status() const {
        return totals_.interrupted  ? kExitInterrupted
               : totals_.failed > 0 ? kExitFailed
                                    : kExitComplete;
    }

private:
    void Start(Board& b) {
        if (stopping_) return;
        b.state = "opening the port";
        b.outcome.clear();
        b.version.clear();
        b.serial.clear();
        b.status = -1;
        std::vector<std::string> args = fleet::ChildOptions(options_);
        args.insert(args.begin(), {"--station-socket", "--port", b.port});
        if (options_.again) args.push_back("--again");
        if (options_.retries > 0) {
            args.push_back("--retries");
            args.push_back(std::to_string(options_.retries));
        }
        if (!options_.onResult.empty()) {
            args.push_back("--on-result");
            args.push_back(options_.onResult);
        }
        if (!fleet::StartChild(b, args)) b.outcome = "could not start a process for this socket";
    }

    void StopAll(int number) {
        stopping_ = true;
        for (const Board& b : sockets_) {
            if (b.pid > 0) ::kill(b.pid, number);
        }
    }

    // One event of a socket: the board's line, the totals, and with --json the event itself.
    void Take(Board& b, const std::string& line) {
        std::string event;
        std::string value;
        JsonField(line, "event", &event);
        bool notable = false;
        if (event == "port") {
            b.state = "the port settles";
            notable = true;
        } else if (event == "waiting" || event == "left") {
            b.state = event == "left" ? "board left; waiting for the next" : "waiting for a board";
            b.outcome.clear();
            b.version.clear();
            b.serial.clear();
            b.tenth = -1;
            notable = true;
        } else if (event == "transfer") {
            b.outcome.clear();  // an attempt again after a failed one
            fleet::TakeEvent(b, line);
        } else if (event == "skipped") {
            JsonField(line, "message", &value);
            b.outcome = "skipped: " + value;
            notable = true;
        } else if (event == "verdict") {
            JsonField(line, "outcome", &value);
            b.transferring = false;
            totals_.Count(value);
            // The outcome or the skip has had its line already.
            if (value == "refused") {
                b.outcome = "not upgraded: " + b.outcome;
                notable = true;
            }
        } else {
            notable = fleet::TakeEvent(b, line);
        }
        display_.Event(b, line, notable);
    }

    void Reap(Board& b) {
        if (b.pid <= 0 || b.out >= 0 || b.err >= 0) return;
        int raw = 0;
        pid_t got;
        while ((got = ::waitpid(b.pid, &raw, 0)) < 0 && errno == EINTR) {
        }
        b.pid = -1;
        b.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        // A socket that died in the middle of a transfer left its board half-written.
        if (b.transferring) {
            b.transferring = false;
            totals_.failed += 1;
            b.outcome = "the socket's process ended in the middle of the transfer (status " +
                        std::to_string(b.status) + "): the board holds an incomplete image";
        } else if (b.status == kExitInterrupted) {
            totals_.interrupted = true;
        }
        if (b.adapterGone) {
            b.state = "adapter gone";
            if (b.outcome.find("unplugged") == std::string::npos) b.outcome.clear();
        } else if (b.outcome.empty()) {
            b.outcome = "the socket ended (status " + std::to_string(b.status) + ")";
        }
        display_.Event(b, "", !stopping_);
    }

    bool anyRunning() const {
        return std::any_of(sockets_.begin(), sockets_.end(),
                           [](const Board& b) { return b.pid > 0; });
    }
    bool anyTransferring() const {
        return std::any_of(sockets_.begin(), sockets_.end(),
                           [](const Board& b) { return b.transferring; });
    }

    const FlashOptions& options_;
    StationDisplay& display_;
    std::vector<Board> sockets_;
    StationTotals totals_;
    CSecondInterrupt interrupts_;
    bool stopping_ = false;
    bool stopHeld_ = false;
};

// Asks once for every board to come, unless --yes did. False when the answer is no (said).
bool ConfirmStation(const FlashOptions& options) {
    if (options.yes) return true;
    if (!options.json) {
        WriteAll(STDERR_FILENO, std::string("\n") + kWarningText + "\n" + kNewVersionText + "\n\n");
    }
    if (Confirm("Upgrade every board plugged in while the station runs?")) return true;
    WriteAll(STDERR_FILENO, "Not confirmed; nothing was sent.\n");
    return false;
}

}  // namespace

int RunStation(const FlashOptions& options) {
    const bool json = options.json;
    StationDisplay display(json, !json && ::isatty(STDERR_FILENO) != 0);
    if (options.log.empty()) {
        display.Warn(
            "no --log: boards will not be remembered, and a board plugged in again is upgraded "
            "again.");
    }
    platform::CatchSignals({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    if (!ConfirmStation(options)) return kExitFailed;
    platform::CaughtSignal caught;
    if (platform::TakeCaughtSignal(&caught)) {
        WriteAll(STDERR_FILENO, "Interrupted; nothing was sent to the boards.\n");
        return kExitInterrupted;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // From here on a stopped station would stall its sockets.
    platform::CatchSignals({SIGTSTP});
    Station station(options, display);
    display.Started();
    // udev's word where it runs; sysfs is looked at every half second all the same, which is
    // all there is in a container or with --sysroot.
    const int devices = platform::OpenDeviceEvents();
    double lastLook = -1;
    bool told = false;
    while (!station.Done()) {
        station.TakeSignals();
        const double now = MonotonicSeconds();
        if (!station.stopping() && (told || now - lastLook >= kLookEverySeconds)) {
            station.Look();
            lastLook = now;
        }
        told = station.Read(devices);
        display.Show(station.sockets(), station.totals());
    }
    if (devices >= 0) ::close(devices);
    display.Summary(station.sockets(), station.totals());
    if (station.stopHeld()) {
        FlushOutputAtExit();
        platform::RestoreSignal(SIGTSTP);
        ::raise(SIGTSTP);
    }
    return station.Status();
}
