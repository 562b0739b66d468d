// When a block acknowledgement can be the block's own. The board cannot acknowledge a block
// before the block's last byte has reached it, so an acknowledgement that comes sooner after
// the block started onto the line is a stale one: a copy of the previous block's, repeated by
// the board or passed on late by an adapter. An acknowledgement names no block, so time is the
// only thing that can tell the two apart.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// How long `bytes` take to cross a line at `baud`, 8N1: ten bit times a byte.
constexpr LONGLONG WireUs(std::size_t bytes, DWORD baud) {
    return static_cast<LONGLONG>(bytes) * 10 * 1'000'000 / baud;
}

class CAckGate {
public:
    // The board's own line, and the shortest frame a block makes (nothing stuffed).
    static constexpr DWORD kBoardBaud = 38400;
    static constexpr std::size_t kShortestBlockFrame = 138;
    // A line of unknown timing that carries the board's line cannot return a block sooner than
    // the block takes to cross it: 35.9 ms, less 10 % for the board's clock. One round trip
    // below that shows the pace is set by something else (the host, a tunnel, a board slow to
    // write), which may change at any moment, so such a line is never judged.
    static constexpr LONGLONG kBoardPacedUs = WireUs(kShortestBlockFrame, kBoardBaud) * 9 / 10;
    // Below this the host's own scheduling may be what sets the pace: with both cores busy,
    // round trips at full speed were seen to settle at 8 ms for stretches.
    static constexpr LONGLONG kLinePacedUs = 20000;
    // Round trips learnt before a line of unknown timing is judged at all.
    static constexpr std::size_t kLearnFrom = 2;
    // Round trips learnt when the second block's, counted unjudged, is judged after all.
    static constexpr std::size_t kJudgeSecondAt = 5;

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
    // When the block on the line started, and whether a stale one was found among those counted.
    LONGLONG StartedUs() const { return m_startedUs; }
    bool Spoilt() const { return m_spoilt; }

private:
    void Learn(LONGLONG roundTripUs);
    bool SecondWasStale() const;

    LONGLONG m_firstUs[kJudgeSecondAt] = {};  // the transfer's first round trips, in order
    LONGLONG m_lowestUs = 0;
    std::size_t m_count = 0;
    bool m_spoilt = false;  // a stale acknowledgement was found among those already counted
    DWORD m_wireBaud = 0;
    LONGLONG m_startedUs = 0;
    std::size_t m_frameBytes = 0;
};
