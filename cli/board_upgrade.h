// One board's upgrade once it has answered: the transfer through the window's own routine, its
// attempts (--retries), a record's two lines for each (--log), and the result hook
// (--on-result). The single-board program and each socket of a station share it.
#pragma once

#include <string>

#include "cli/flash_options.h"
#include "cli/flash_report.h"
#include "platform/wintypes.h"

class CLinkSession;

// What the board said of itself before its upgrade.
struct BoardFacts {
    std::string version;
    std::string serial;  // "" when it never answered the serial query
};

// How the signals that come during an upgrade are read.
enum class SignalRule {
    // vantra-flash on one board: SIGTERM, SIGHUP, SIGQUIT and Ctrl-Z are held until the verdict
    // (and said so); Ctrl-C warns, a second within 5 s stops after the block in flight; SIGUSR1
    // (--all's parent) stops.
    Terminal,
    // A station's socket: SIGTERM asks it to finish this board and start no other, held without
    // a word (the station says it once); SIGUSR1 stops; SIGUSR2 says the adapter went, which
    // stops too and fails the transfer for that reason.
    Socket,
};

struct UpgradeResult {
    // The record's and the hook's word for the verdict: complete, failed, interrupted or
    // no-image; null when nothing was sent (a refusal: the battery, the record, a signal).
    const char* word = nullptr;
    int status = kExitFailed;
    int refusedBy = 0;         // the signal that refused the first attempt before block 0
    bool stopHeld = false;     // Ctrl-Z came during a transfer
    bool finishing = false;    // SIGTERM came (Socket): no other board is to be started
    bool adapterGone = false;  // SIGUSR2 came (Socket)
    std::string upgradeId;
    int attempts = 0;
};

// Upgrades the board `session` has heard answer, as `board`. `signals` is the caught signals'
// handle, for the wait between attempts.
UpgradeResult UpgradeBoard(const FlashOptions& options, CFlashReport& report, CLinkSession& session,
                           const BoardFacts& board, SignalRule rule, HANDLE signals);

// Runs --on-result's command, if any, after a board's verdict (`outcome`: complete, failed,
// interrupted, skipped). Its lines are shown marked as its own; its failure is said and
// changes nothing else.
void RunOnResult(const FlashOptions& options, CFlashReport& report, const BoardFacts& board,
                 const char* outcome, int status, const std::string& upgradeId);

// What the log says of this board, said before it is upgraded (--log): that it was upgraded
// with this image already, or that its last upgrade never finished. True for the first.
bool SayBoardHistory(const FlashOptions& options, CFlashReport& report, const BoardFacts& board,
                     std::string* completeOn = nullptr);
