// The background thread that moves bytes between the port and the device link.
#pragma once

#include <atomic>

#include "platform/wincore.h"

// The worker runs while this is 0.
extern std::atomic<BYTE> g_bStopLinkWorker;

// Thread procedure: start it with CreateThread (suspended, then resumed). Ignores its
// parameter; returns 0.
DWORD LinkWorker(LPVOID parameter);

// Asks the worker to end and waits up to `timeoutMs` for `thread`. True when it has ended; the
// flag is then cleared so a new worker may be started.
bool StopLinkWorker(HANDLE thread, DWORD timeoutMs);
