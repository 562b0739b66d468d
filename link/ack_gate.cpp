#include "link/ack_gate.h"

#include <algorithm>
#include <cstring>

void CAckGate::Begin(DWORD wireBaud) {
    m_wireBaud = wireBaud;
    m_count = 0;
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
    if (m_wireBaud > 0) {
        // 8N1: ten bit times a byte, less 10 % for the two ends' clocks.
        const LONGLONG wireUs = static_cast<LONGLONG>(m_frameBytes) * 10 * 1'000'000 / m_wireBaud;
        return wireUs * 9 / 10;
    }
    // One round trip is too few: at full speed on a busy host the first block's is often many
    // times the rest's, and a gate learnt from it alone would drop the next block's real
    // acknowledgement. Two, and the lower of them, must both show a line's pace.
    if (m_count < kLearnFrom) return 0;
    const LONGLONG median = MedianUs();
    return median >= kLinePacedUs ? median / 2 : 0;
}

bool CAckGate::Admit(LONGLONG arrivedUs) {
    const LONGLONG earliest = EarliestUs();
    // The first blocks of a line of unknown timing are counted before the gate can judge them.
    // Once it can, one of those that comes out stale was a copy: every block after it has been
    // credited with the one before, and nothing more this transfer receives can be trusted.
    if (m_count > 0 && m_roundTripUs[0] < earliest) m_spoilt = true;
    if (m_spoilt) return false;
    const LONGLONG roundTrip = arrivedUs - m_startedUs;
    if (roundTrip < earliest) return false;
    if (m_wireBaud == 0) {
        Learn(static_cast<DWORD>(std::clamp<LONGLONG>(roundTrip, 0, 0xFFFFFFFF)));
    }
    return true;
}

void CAckGate::Learn(DWORD roundTripUs) {
    if (m_count == kRoundTrips) {
        std::memmove(m_roundTripUs, m_roundTripUs + 1, (m_count - 2) * sizeof m_roundTripUs[0]);
        m_count -= 2;
    }
    DWORD* end = m_roundTripUs + m_count;
    DWORD* at = std::upper_bound(m_roundTripUs, end, roundTripUs);
    std::memmove(at + 1, at, static_cast<std::size_t>(end - at) * sizeof *at);
    *at = roundTripUs;
    ++m_count;
}

// The lower of the two middle ones for an even count: one slow round trip cannot raise it.
LONGLONG CAckGate::MedianUs() const {
    return m_roundTripUs[(m_count - 1) / 2];
}
