// Ctrl-C during an upgrade: the board's image is incomplete until the verdict, so the first only
// warns, and a second within 5 s (or two that came together) stops after the block in flight.
#pragma once

#include "platform/host_signals.h"

inline constexpr DWORD kSecondInterruptMs = 5000;

class CSecondInterrupt {
public:
    // For a SIGINT taken during a transfer: true when the transfer is to stop; false when the
    // caller is to warn, and this Ctrl-C is the one a second must follow.
    bool Stops(const platform::CaughtSignal& caught);

private:
    bool m_warned = false;
    DWORD m_warnedTick = 0;
};
