#include "cli/second_interrupt.h"

bool CSecondInterrupt::Stops(const platform::CaughtSignal& caught) {
    const bool twice =
        caught.count >= 2 && caught.lastTick - caught.firstTick <= kSecondInterruptMs;
    const bool again = m_warned && caught.firstTick - m_warnedTick <= kSecondInterruptMs;
    if (twice || again) return true;
    m_warned = true;
    m_warnedTick = caught.lastTick;
    return false;
}
