// Signals a program wants to be told of rather than ended by: SIGTERM from a logout or a
// shutdown, SIGHUP from a closed terminal, Ctrl-C, Ctrl-Z. The handler only notes the signal and
// writes a byte to a pipe (nothing else is safe there); the program takes the noted signals when
// it is ready to act on them, from a wait or from its event loop.
#pragma once

#include <initializer_list>

#include "platform/wintypes.h"

namespace platform {

// Catches each of `signals` from now on (no SA_RESTART: a blocking read or wait returns EINTR,
// so a prompt can see it). Returns a waitable handle, signalled while a caught signal has not
// been taken: a wait on it alone, or among other objects, ends when one arrives. Every call
// returns the same handle; never close it.
HANDLE CatchSignals(std::initializer_list<int> signals);

// The read end of the pipe the handler writes to: readable after a signal arrived, for an event
// loop to watch. -1 before the first CatchSignals.
int CaughtSignalsDescriptor();

struct CaughtSignal {
    int number = 0;
    unsigned count = 0;   // arrivals since it was last taken
    DWORD firstTick = 0;  // GetTickCount() at the first and the latest of them
    DWORD lastTick = 0;
};

// Takes the lowest-numbered signal caught and not yet taken; false when there is none.
bool TakeCaughtSignal(CaughtSignal* out);

// Takes `number` alone if it was caught and not yet taken, leaving any other for its taker.
bool TakeCaughtSignal(int number, CaughtSignal* out);

// True while a caught signal waits to be taken; takes nothing.
bool CaughtSignalPending();

// Gives `signal` its default action back; an arrival not yet taken stays noted.
void RestoreSignal(int signal);

}  // namespace platform
