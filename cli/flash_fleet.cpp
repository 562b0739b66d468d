#include "cli/flash_fleet.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "cli/flash_board.h"
#include "cli/fleet_board.h"
#include "cli/fleet_children.h"
#include "cli/fleet_display.h"
#include "cli/fleet_signals.h"
#include "cli/output_queue.h"
#include "platform/host_signals.h"
#include "transport/port_discovery.h"
#include "upgrade/firmware_transfer.h"

using fleet::Board;

namespace {

constexpr std::size_t kMaxBoards = 64;

// Asks once for every board, unless --yes did. The exit status when nothing is to be sent: not
// confirmed, or a signal came while the question waited.
std::optional<int> ConfirmAll(const FlashOptions& options, std::size_t found) {
    if (options.yes) return std::nullopt;
    if (!options.json) {
        WriteAll(STDERR_FILENO, std::string("\n") + kWarningText + "\n" + kNewVersionText + "\n\n");
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
    return std::nullopt;
}

}  // namespace

int FlashAllBoards(const FlashOptions& options) {
    platform::CatchSignals({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    static char names[kMaxBoards][kPortNameBytes];
    std::vector<Board> boards = fleet::DistinctBoards(names, FindAdapterPorts(names, kMaxBoards));
    if (boards.empty()) {
        WriteAll(STDERR_FILENO,
                 "No matching serial adapter found: nothing to upgrade. Plug the adapters in, "
                 "or name each board's port with --port.\n");
        return kExitNoPort;
    }

    const bool json = options.json;
    const fleet::Display display(json, !json && ::isatty(STDERR_FILENO) != 0, boards.size());
    display.ListBoards(boards);
    if (const std::optional<int> refused = ConfirmAll(options, boards.size())) return *refused;

    std::signal(SIGPIPE, SIG_IGN);
    platform::CatchSignals({SIGTSTP});  // from here on a stopped parent would stall the children
    fleet::StartChildren(boards, options);
    display.Open();

    fleet::Signals signals;
    bool stopping = false;
    auto stopAll = [&] {
        if (stopping) return;
        stopping = true;
        fleet::StopChildren(boards);
    };
    auto say = [&](const std::string& text) { display.Warn(text); };
    for (;;) {
        bool anyTransferring = false;
        for (const Board& b : boards) anyTransferring = anyTransferring || b.transferring;
        signals.Take(anyTransferring, stopAll, say);
        bool events = false;
        std::string said;  // the children's own lines, shown above the boards' lines
        const bool open = fleet::ReadChildren(
            boards,
            [&](Board& b, const std::string& line) {
                const bool notable = fleet::TakeEvent(b, line);
                display.Event(b, line, notable);
                events = true;
            },
            &said);
        if (!open) break;
        display.Show(boards, said, events);
    }

    fleet::ReapChildren(boards);
    display.Summary(boards);
    signals.ActAtEnd();
    return fleet::CombinedStatus(boards);
}
