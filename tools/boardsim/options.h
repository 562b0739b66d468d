// The simulator's command line: what the board answers, how fast, and which faults it puts on
// the line.
#pragma once

#include <string>
#include <vector>

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
    // A bench: boards answering in turn on the one line, each leaving once its image is in.
    long boards = 1;
    std::vector<std::string> serials;  // --serials, one per board; "" never answers the query
    long swapAfterMs = 1500;           // silence between one board leaving and the next
    long faultAttempts = -1;           // faults only on each board's first K transfers
};

// Whether blocks are counted per transfer (faults, the image, attempts) rather than over the
// whole run as a lone board without --fault-attempts counts them.
inline bool CountsTransfers(const Options& o) {
    return o.boards > 1 || o.faultAttempts >= 0;
}

// Board `number`'s serial-number reply (from 1), and false in `answers` for one that never
// answers the query.
std::string SerialOf(const Options& o, long number, bool& answers);

// The usage text, on standard error.
void Usage();

// False for --help, an option it does not know, or a value that is not one.
bool ParseOptions(int argc, char** argv, Options& o);

}  // namespace boardsim
