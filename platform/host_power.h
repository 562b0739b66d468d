// What the host computer is asked around an upgrade, over its system and session buses: whether
// it runs on a battery, and to hold off sleep, shutdown and logout meanwhile. Each call is one
// blocking exchange with a short time-out; none belongs between two blocks of a transfer.
#pragma once

#include <string>

namespace platform {

// The power supply as UPower reports it (its OnBattery, and its display device, which stands for
// all the batteries together).
struct HostPower {
    bool answered = false;  // UPower replied; otherwise nothing below is known
    bool onBattery = false;
    bool batteryPresent = false;
    double percentage = 0;  // of the display device, 0..100
};
HostPower QueryHostPower();

// Takes a logind inhibitor lock (org.freedesktop.login1.Manager.Inhibit): the descriptor that
// holds it until closed, or -1 with the reason in `error` (no system bus, no logind, refused).
int TakeInhibitorLock(const char* what, const char* who, const char* why, const char* mode,
                      std::string* error);

// A request to the desktop portal (org.freedesktop.portal.Inhibit) to hold off what `flags` names
// (1 logout, 2 user switch, 4 suspend, 8 idle) for the window `parentWindow` ("x11:<hex id>", or
// "" for none). Null when there is no session bus or no portal. The request lasts until ended.
struct PortalInhibit;
PortalInhibit* BeginPortalInhibit(const char* parentWindow, unsigned flags, const char* reason);
void EndPortalInhibit(PortalInhibit* request);

}  // namespace platform
