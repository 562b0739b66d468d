// vantra-flash --doctor: which port Vantra would open and why, and what stands between this
// account and the board, each problem with the command that fixes it. It reads and reports:
// no port is opened and nothing is sent. Texts from devices and copied trees enter a command
// only once checked; a copy's processes are named for the machine it came from.
#pragma once

#include "cli/flash_options.h"

// Text on standard output, or one JSON document with --json. Returns 0 when the port Vantra
// would open can be opened and nothing stands in its way, kExitNoPort otherwise.
int RunDoctor(const FlashOptions& options);
