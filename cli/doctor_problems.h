// What stands between Vantra and the port it would open, and on the machine around it: each
// problem with the command that fixes it, or what to do where no command is safe.
#pragma once

#include <string>
#include <vector>

#include "cli/doctor_access.h"
#include "platform/host_facts.h"
#include "transport/port_discovery.h"

namespace doctor {

struct Problem {
    std::string device;  // "" for the machine as a whole
    std::string text;    // escaped
    std::string fix;
    bool concernsPort;  // it stands between Vantra and the port it would open
};

// One device as the doctor sees it.
struct Entry {
    platform::SerialDevice device;
    bool chosen = false;
    std::string why;
    Access access;
    std::vector<platform::ProcessInfo> holders;
};

// The programs holding a port, for a person (escaped).
std::string HolderText(const std::vector<platform::ProcessInfo>& holders);

// `copied`: the trees are a copy of another machine's (--sysroot).
void FindProblems(const PortChoice& choice, const std::vector<Entry>& entries,
                  const Credentials& me, bool copied, std::vector<Problem>* problems);

}  // namespace doctor
