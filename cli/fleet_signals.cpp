#include "cli/fleet_signals.h"

#include <signal.h>

#include "cli/output_queue.h"
#include "platform/host_signals.h"

namespace fleet {

namespace {

// The children run in process groups of their own, so a terminal's Ctrl-C, Ctrl-Z and hang-up
// reach this process alone: it decides once for every board (one warning, not one per board),
// and tells the children to stop with SIGUSR1.
constexpr char kInterruptWarning[] =
    "Stopping now leaves the boards being upgraded with incomplete images. Press Ctrl-C again "
    "within 5 s to stop each after its block in flight.";

}  // namespace

void Signals::Take(bool anyTransferring, const std::function<void()>& stopAll,
                   const std::function<void(const std::string&)>& say) {
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
            endBy = s.number;  // before any transfer: the signal ends the program
            stopAll();
        } else if (!heldSaid) {
            heldSaid = true;
            say("signal received during the transfers: it takes effect after the verdicts.");
        }
    }
}

void Signals::ActAtEnd() const {
    if (endBy != 0 || stopHeld) FlushOutputAtExit();  // out before the program ends or stops
    if (endBy != 0) {
        platform::RestoreSignal(endBy);
        ::raise(endBy);
    }
    if (stopHeld) {
        platform::RestoreSignal(SIGTSTP);
        ::raise(SIGTSTP);
    }
}

}  // namespace fleet
