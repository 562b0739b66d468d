// One board of --all as this process knows it: its port and adapter, its child process and what
// the child's events have said of it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "cli/adapter_identity.h"
#include "transport/port_discovery.h"

namespace fleet {

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
    bool adapterGone = false;   // a station's socket whose adapter was pulled out
};

// The ports the driver list names, each device once: two entries (or an entry and a sysfs
// adapter) can name one device, by one name or two, and a board must not be upgraded by two
// processes at once. Then in the order of their sockets, so line N is the same socket each run.
std::vector<Board> DistinctBoards(char (*names)[kPortNameBytes], std::size_t count);

// Reads one event of a child: updates the board, and says whether it is worth a line of its own
// when standard error is not a terminal.
bool TakeEvent(Board& b, const std::string& line);

}  // namespace fleet
