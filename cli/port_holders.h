// Who else has a serial device open, found through /proc, and why a port would not open.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct PortHolder {
    pid_t pid;
    std::string name;  // the program's name (/proc/PID/comm)
};

// The device a port name opens: "COMn:" (colon optional) is /dev/ttyS<n-1>, a path is itself.
std::string DevicePathOf(const std::string& portName);

// Other processes with `device` open. A process holding the master of a pseudo-terminal is the
// line's far end (a simulated board), not a second user of the port, and is left out. Processes
// this account may not look into are not seen.
std::vector<PortHolder> FindPortHolders(const std::string& device);

// "sleep (pid 42)", "a, b (pid 1, 2)": the holders for a message.
std::string DescribeHolders(const std::vector<PortHolder>& holders);

// Why `device` could not be opened, for a technician: missing, held by a named process, no
// permission (naming the group to join), or the system's own reason `systemText`.
std::string ExplainOpenFailure(const std::string& device, const std::string& systemText);
