// --all: every matching adapter at once, one child process per port (the link is one per
// process), each child's events read back and shown as one line per board.
#pragma once

#include "cli/flash_options.h"

// Returns the exit status: 0 only when every board completed.
int FlashAllBoards(const FlashOptions& options);
