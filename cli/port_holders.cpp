#include "cli/port_holders.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host_facts.h"
#include "platform/text.h"
#include "transport/port_discovery.h"

std::string DevicePathOf(const std::string& portName) {
    return PortDevicePath(portName.c_str());
}

std::vector<PortHolder> FindPortHolders(const std::string& device) {
    std::vector<PortHolder> holders;
    for (const platform::ProcessInfo& p : platform::FindDeviceHolders(device))
        holders.push_back({p.pid, p.name});
    return holders;
}

std::string DescribeHolders(const std::vector<PortHolder>& holders) {
    std::string names;
    std::string pids;
    for (const PortHolder& h : holders) {
        if (!names.empty()) {
            names += ", ";
            pids += ", ";
        }
        names += platform::EscapeText(h.name);
        pids += std::to_string(h.pid);
    }
    return names + (holders.size() == 1 ? " (pid " : " (pids ") + pids + ")";
}

std::string ExplainOpenFailure(const std::string& device, const std::string& systemText) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        return device + " does not exist: no adapter is plugged in there, or it is the wrong port.";
    }
    const std::vector<PortHolder> holders = FindPortHolders(device);
    if (!holders.empty()) {
        return device + " is in use by " + DescribeHolders(holders) +
               ". Close that program (or stop the service) and try again.";
    }
    if (::access(device.c_str(), R_OK | W_OK) != 0) {
        const group* g = ::getgrgid(st.st_gid);
        const std::string name = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            return "No permission to open " + device + ": it belongs to the group '" + name +
                   "'. Join it (sudo usermod -aG " + name + " $USER) and log in again.";
        }
        // Joining the group would not help a device its group may not open.
        const passwd* owner = ::getpwuid(st.st_uid);
        return "No permission to open " + device + ": only its owner (" +
               (owner != nullptr ? owner->pw_name : std::to_string(st.st_uid)) +
               ") may open it. A udev rule can give a group (usually dialout) read and write "
               "access to the adapter.";
    }
    return device + ": " + systemText +
           " (another program may hold the port where this account cannot see it)";
}
