#include "link/ack_gate.h"

#include <algorithm>

void CAckGate::Begin(DWORD wireBaud) {
    m_wireBaud = wireBaud;
    m_count = 0;
    m_lowestUs = 0;
    m_spoilt = false;
}

void CAckGate::OnBlockStarted(LONGLONG startedUs, std::size_t frameBytes) {
    m_startedUs = startedUs;
    m_frameBytes = frameBytes;
}

// Either rule can err only one way: a real acknowledgement dropped as stale. Its block then
// times out after 2000 ms and the transfer fails, honestly. What neither may ever do is count a
// stale acknowledgement, which would credit every later block with the one before it and give
// "Transfer Complete." for a board that never confirmed its last block.
LONGLONG CAckGate::EarliestUs() const {
    if (m_wireBaud > 0) return WireUs(m_frameBytes, m_wireBaud) * 9 / 10;  // less 10 %: clocks
    // One round trip is too few: at full speed on a busy host the first block's is often many
    // times the rest's. Two at least, and every one learnt, must show the board's line.
    if (m_count < kLearnFrom || m_lowestUs < kBoardPacedUs) return 0;
    // Half the block's time on the board's line, not half the pace seen so far: a line whose
    // latency falls (a tunnel, a board that had been slow to write) stays above it, and a copy
    // a few milliseconds behind the acknowledgement before it stays below.
    return WireUs(m_frameBytes, kBoardBaud) / 2;
}

bool CAckGate::Admit(LONGLONG arrivedUs) {
    if (m_spoilt) return false;
    const LONGLONG roundTrip = std::max<LONGLONG>(arrivedUs - m_startedUs, 0);
    if (roundTrip < EarliestUs()) return false;
    if (m_wireBaud == 0) Learn(roundTrip);
    return !m_spoilt;
}

void CAckGate::Learn(LONGLONG roundTripUs) {
    if (m_count < kJudgeSecondAt) m_firstUs[m_count] = roundTripUs;
    m_lowestUs = m_count == 0 ? roundTripUs : std::min(m_lowestUs, roundTripUs);
    // Judged once: a line that changes pace later cannot make it look stale after the fact.
    if (++m_count == kJudgeSecondAt) m_spoilt = SecondWasStale();
}

// The second block's acknowledgement is counted before the gate can judge it, and a copy of the
// first block's then credits every later block with the one before it: nothing more this
// transfer receives can be trusted. It was a copy only if it came well inside a block's time on
// the board's line while the line showed the board's pace both before it and after it, so a
// line that slows down or speeds up once cannot look like one. After a copy every block's
// round trip is shortened by the host's turnaround and the copy's lag, so the three after it
// need only show that a line, not the host, sets the pace.
bool CAckGate::SecondWasStale() const {
    LONGLONG after[] = {m_firstUs[2], m_firstUs[3], m_firstUs[4]};
    std::sort(after, after + 3);
    return m_firstUs[0] >= kBoardPacedUs && after[1] >= kLinePacedUs &&
           m_firstUs[1] < WireUs(kShortestBlockFrame, kBoardBaud) / 2;
}
