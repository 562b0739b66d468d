// The simulator's command line: what the board answers, how fast, and which faults it puts on
// the line.
#pragma once

#include <string>

#include "tools/boardsim/faults.h"

namespace boardsim {

struct Options {
    long baud = 38400;
    std::string registry;
    std::string expect;
    std::string version = "V4.01";
    std::string serial = "30417265";
    long stopAt = -1;     // stop answering from this block on
    long badCheck = -1;   // corrupt the check byte of this reply
    long hangupAt = -1;   // hang up when this block arrives
    long ackDelayMs = 0;  // hold each acknowledgement back
    long exitAfter = -1;  // end after this many blocks
    long coalesce = 1;    // frames per write
    FaultPlan faults;
    bool noise = false;
    bool split = false;
    bool trace = false;        // timestamped events on stderr
    bool exitOnClose = false;  // end once the utility has let go of the port
    bool showVersion = false;  // a bare --version, last on the line: print ours and exit
};

// The usage text, on standard error.
void Usage();

// False for --help, an option it does not know, or a value that is not one.
bool ParseOptions(int argc, char** argv, Options& o);

}  // namespace boardsim
