// A simulated board found the way the programs find one, through a driver list that names its
// port, and checked against the firmware image they carry.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty_helpers.h"

namespace testutil {

// vantra-boardsim writing a hive of its own that names its port (--registry: the program under
// test is given it as VANTRA_REGISTRY) and comparing what it receives with the program's
// firmware image (--expect). The hive and the trace go with it.
struct ListedBoard {
    // `args` go to the simulator too (its --baud among them). With `trace`, its timestamped
    // events go to the file `trace` names.
    explicit ListedBoard(const std::vector<std::string>& args, bool withTrace = false);
    ~ListedBoard();
    ListedBoard(const ListedBoard&) = delete;
    ListedBoard& operator=(const ListedBoard&) = delete;

    // Stops the board and returns its summary line; `status`, if given, gets its exit status.
    std::string Finish(int* status = nullptr);

    std::string hive;
    std::string trace;  // "" without one
    std::unique_ptr<BoardSim> sim;
};

// A driver list (a hive's body) naming each of `ports` as a supported adapter, keys 1, 2, ...
std::string DriverList(const std::vector<std::string>& ports);

}  // namespace testutil
