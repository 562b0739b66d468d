// --report FILE: what a log of upgrades holds, for the person who must know which boards are
// done and which are not.
#pragma once

#include "cli/flash_options.h"

// Prints the report of options.report (a --log file), as text or with --json one document.
// Returns the exit status.
int ReportFlashLog(const FlashOptions& options);
