// The host's services for tests: a private system bus (dbus-daemon) with python3-dbusmock's
// logind and UPower on it, since the real ones need systemd as process 1. The programs under test
// find it through DBUS_SYSTEM_BUS_ADDRESS, set in this process (and so in its children) for the
// object's lifetime.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

struct HostPowerSetting {
    bool upower = true;  // false: no UPower on the bus at all
    bool onBattery = false;
    double percentage = 100;  // of the display device, a battery that is present
};

class HostBus {
public:
    explicit HostBus(HostPowerSetting power = {});
    HostBus(const HostBus&) = delete;
    HostBus& operator=(const HostBus&) = delete;
    ~HostBus();

    // Empty once the bus and its services answer; otherwise what went wrong.
    const std::string& Error() const { return error_; }
    const std::string& Address() const { return address_; }

    // The inhibitor locks logind holds now, each "what|who|why|mode".
    std::vector<std::string> Inhibitors();

    // Runs `python` in logind's Inhibit before it takes the lock: `args` holds what, who, why
    // and mode, and raising a dbus.exceptions.DBusException refuses. Empty once it took.
    std::string PrefaceInhibit(const std::string& python);

private:
    pid_t Start(const std::vector<std::string>& args);
    bool WaitForName(const char* name);

    std::string dir_;
    std::string address_;
    std::string error_;
    std::vector<pid_t> children_;
};

// The desktop portal's Inhibit on the session bus (python3-dbusmock), which logs every call:
// Inhibit with its arguments, and Close on the request object it hands out.
class PortalMock {
public:
    PortalMock();
    PortalMock(const PortalMock&) = delete;
    PortalMock& operator=(const PortalMock&) = delete;
    ~PortalMock();
    const std::string& Error() const { return error_; }
    std::string Log() const;  // one call a line: "<time> Inhibit \"x11:...\" 13 {...}"
    // The mock's process: SIGSTOP makes a portal that has hung.
    pid_t Pid() const { return pid_; }

private:
    std::string log_;
    std::string error_;
    pid_t pid_ = -1;
};

// Whether an account other than this process's (nobody, when run as root, for whom the terminal
// is made openable) can open the serial device `path` now: 0, or the errno of its open.
int OpenErrorForAnotherAccount(const std::string& path);

}  // namespace testutil
