// One board, start to end, in this process: open the port, wait for the board, confirm, send the
// image through the window's transfer routine, report and record.
#pragma once

#include "cli/flash_options.h"

// Returns the exit status.
int FlashOneBoard(const FlashOptions& options);

// Asks on standard error and reads a line from standard input; true only for an answer starting
// with y or Y.
bool Confirm(const char* question);

#include "cli/board_upgrade.h"
#include "transport/link_session.h"

// The link, taken down on every way out of a board's upgrade, so the port is closed before the
// program stops or ends by a signal. A worker that will not stop must not outlive the objects
// it uses: the process ends at once then.
struct TerminalLink {
    CLinkSession session;
    ~TerminalLink();
};

// Opens the port (--port, VANTRA_PORT, else discovery) and says so, with the adapter behind it,
// a latency timer that slows it and programs that hold it too. 0, or the exit status of a port
// that could not be opened (said).
int OpenBoardPort(CFlashReport& report, CLinkSession& session);

// What the board answered, told to the user.
BoardFacts AnsweredBoard(CFlashReport& report, const BoardAnswer& answer);
