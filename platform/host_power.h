// What the host computer is asked around an upgrade, over its system and session buses: whether
// it runs on a battery, and to hold off sleep, shutdown and logout meanwhile. None of it belongs
// between two blocks of a transfer.
//
// What bounds each call: its `deadline`, and nothing else. Connecting, authenticating, the bus's
// Hello and every method call of the call count against it, so a bus that accepts the connection
// and never answers costs at most the time left to the deadline. The caller sets one deadline
// for a whole set of calls, so a wedged bus is not waited on once per call: a call whose
// deadline has passed gives up at once, as when there is no bus. A signal does not cut a call
// short; it carries on to its reply or its deadline.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// A time on CLOCK_MONOTONIC, in microseconds.
using BusDeadline = std::uint64_t;
BusDeadline BusDeadlineAfter(unsigned milliseconds);

// The power supply as UPower reports it (its OnBattery, and its display device, which stands for
// all the batteries together).
struct HostPower {
    bool answered = false;  // UPower replied; otherwise nothing below is known
    bool onBattery = false;
    bool batteryPresent = false;
    double percentage = 0;  // of the display device, 0..100
};
HostPower QueryHostPower(BusDeadline deadline);

// A logind inhibitor lock (org.freedesktop.login1.Manager.Inhibit).
struct InhibitorLock {
    int fd = -1;           // holds the lock until closed; -1 when none was taken
    bool refused = false;  // logind itself answered no (not: no bus, no logind, no answer)
    std::string error;     // why there is no lock
};
InhibitorLock TakeInhibitorLock(const char* what, const char* who, const char* why,
                                const char* mode, BusDeadline deadline);

// A request to the desktop portal (org.freedesktop.portal.Inhibit) to hold off what `flags` names
// (1 logout, 2 user switch, 4 suspend, 8 idle) for the window `parentWindow` ("x11:<hex id>", or
// "" for none). Null when there is no session bus, no portal, or no answer by the deadline. The
// request lasts until ended; ending it asks the portal to close it, by `deadline`, and then
// drops the connection (which ends it as well).
struct PortalInhibit;
PortalInhibit* BeginPortalInhibit(const char* parentWindow, unsigned flags, const char* reason,
                                  BusDeadline deadline);
void EndPortalInhibit(PortalInhibit* request, BusDeadline deadline);

}  // namespace platform
