// Test and framework hooks behind MessageBeep.
#pragma once

#include "platform/wintypes.h"

namespace platform {

// Called by MessageBeep on the calling thread; must not block. The framework half installs one
// that makes the sound audible.
using BeepPlayer = void (*)(UINT type);
BeepPlayer SetBeepPlayer(BeepPlayer player);

// How many MessageBeep calls of `type` this process has made.
unsigned long BeepCount(UINT type);

}  // namespace platform
