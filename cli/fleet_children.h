// --all's child processes, one `vantra-flash --port P --json` per board: started, read, told to
// stop, and waited for.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/flash_options.h"
#include "cli/fleet_board.h"

namespace fleet {

// The options every child is given, from this process's own: --yes, --json and those a child
// must share (--ignore-power, --log, --sysroot).
std::vector<std::string> ChildOptions(const FlashOptions& options);
// This program again as `b`'s child, with `args`: its events and standard error piped back,
// standard input /dev/null, in a process group of its own. False when it could not be started.
bool StartChild(Board& b, std::vector<std::string> args);

// A child for each board; a board whose child could not be started has its outcome already.
void StartChildren(std::vector<Board>& boards, const FlashOptions& options);

// Waits up to 200 ms for the children's output, a caught signal or `wake` (a descriptor, or -1),
// and reads what came: each whole event line goes to `onEvent`, each line of a child's standard
// error is added to `said` (escaped, after its port). False once every child's output has
// ended: nothing was waited for then.
bool ReadChildren(std::vector<Board>& boards,
                  const std::function<void(Board&, const std::string&)>& onEvent, std::string* said,
                  int wake = -1);

// SIGUSR1 to every child still running: each stops where it is safe.
void StopChildren(const std::vector<Board>& boards);

// Waits for every child to end and keeps its status, with an outcome where its events gave none.
void ReapChildren(std::vector<Board>& boards);

// 0 only when every board completed; otherwise the gravest status any board ended with. A child
// that died (a signal, a crash) may have left its board half-written: that is a failed transfer.
int CombinedStatus(const std::vector<Board>& boards);

}  // namespace fleet
