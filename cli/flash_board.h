// One board, start to end, in this process: open the port, wait for the board, confirm, send the
// image through the window's transfer routine, report and record.
#pragma once

#include "cli/flash_options.h"

// Returns the exit status.
int FlashOneBoard(const FlashOptions& options);

// Asks on standard error and reads a line from standard input; true only for an answer starting
// with y or Y.
bool Confirm(const char* question);
