// When a block acknowledgement can be the block's own. The board cannot acknowledge a block
// before the block's last byte has reached it, so an acknowledgement that comes sooner after
// the block started onto the line is a stale one: a copy of the previous block's, repeated by
// the board or passed on late by an adapter. An acknowledgement names no block, so time is the
// only thing that can tell the two apart.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

class CAckGate {
public:
    // Below this median round trip the host's own scheduling may be what sets the pace: with
    // both cores busy, round trips at full speed were seen to settle at 8 ms for stretches, and
    // single ones to reach 48 ms. The board's line runs at 38400 baud, where a block's round
    // trip takes at least 37.5 ms, so a line behind a pseudo-terminal shows well above it.
    static constexpr LONGLONG kLinePacedUs = 20000;
    // Round trips learnt before a line of unknown timing is judged at all.
    static constexpr std::size_t kLearnFrom = 2;

    // A new transfer on a line whose bytes cross at `wireBaud`, or 0 when its timing cannot be
    // known; then it is learnt from this transfer's own round trips.
    void Begin(DWORD wireBaud);
    // The block's frame of `frameBytes` started onto the line at `startedUs` (microseconds).
    void OnBlockStarted(LONGLONG startedUs, std::size_t frameBytes);
    // An acknowledgement arrived at `arrivedUs`: true when it can be the block's own, and then
    // its round trip is learnt. False from the moment one already counted turns out stale.
    bool Admit(LONGLONG arrivedUs);
    // The shortest round trip the block's own acknowledgement can have; 0 when nothing is known.
    LONGLONG EarliestUs() const;

private:
    void Learn(DWORD roundTripUs);
    LONGLONG MedianUs() const;

    // Round trips kept sorted. When full, the shortest and the longest make room: dropping one
    // from each end leaves the median where it was.
    static constexpr std::size_t kRoundTrips = 1024;
    DWORD m_roundTripUs[kRoundTrips] = {};
    std::size_t m_count = 0;
    bool m_spoilt = false;  // a stale acknowledgement was found among those already counted
    DWORD m_wireBaud = 0;
    LONGLONG m_startedUs = 0;
    std::size_t m_frameBytes = 0;
};
