#include "link/block_exchange.h"

#include <utility>

#include "platform/trace.h"
#include "transport/serial_transport.h"

// The event ends with the process: the worker may still set it during exit.
CBlockExchange::CBlockExchange() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void CBlockExchange::Begin(DWORD wireBaud) {
    m_wireBaud.store(wireBaud);
    m_gateOutdated.store(true);
    m_bFreshStart = true;
}

BOOL CBlockExchange::Queue(const BYTE* frame, std::size_t length) {
    m_lastTicket = (m_lastTicket + 1) & (~0u >> kTicketShift);
    if (m_lastTicket == 0) m_lastTicket = 1;
    m_word.store(m_lastTicket << kTicketShift | kQueued);
    ResetEvent(m_hEvent);
    // Before the frame is in the slot, so the worker that takes it sees its ticket marked.
    if (std::exchange(m_bFreshStart, false)) m_freshTicket.store(m_lastTicket);
    return CSerialTransport::QueueFrame(frame, static_cast<unsigned>(length), m_lastTicket);
}

BlockWait CBlockExchange::Await(DWORD timeoutMs) {
    DWORD word = WaitWhile(Set(kQueued) | Set(kOnLine), timeoutMs);
    if (m_lastTicket == 0 || TicketOf(word) != m_lastTicket) return BlockWait::Stale;
    switch (StateOf(word)) {
        case kAcknowledged:
            // The worker leaves an acknowledged block alone; only this thread moves it on.
            m_word.compare_exchange_strong(word, m_lastTicket << kTicketShift | kIdle);
            return BlockWait::Acknowledged;
        case kQueued:
        case kOnLine:
            return (word & kStaleSeen) != 0 ? BlockWait::Stale : BlockWait::TimedOut;
        default:
            return BlockWait::Stale;  // collected already
    }
}

void CBlockExchange::End() {
    const DWORD state = StateOf(m_word.exchange(kIdle));
    m_bResync = m_bResync || state == kQueued || state == kOnLine;
    m_bFreshStart = false;
}

bool CBlockExchange::Resync(const BYTE* query, std::size_t length, DWORD timeoutMs) {
    if (!m_bResync) return true;
    m_word.store(kAsking);
    ResetEvent(m_hEvent);
    CSerialTransport::QueueFrame(query, static_cast<unsigned>(length));
    DWORD word = WaitWhile(Set(kAsking), timeoutMs);
    // An answer that lands as the wait ends still counts: the exchange fails only if it wins.
    if (StateOf(word) == kAsking && m_word.compare_exchange_strong(word, kIdle)) return false;
    m_bResync = false;
    return true;
}

bool CBlockExchange::StartsFresh(DWORD ticket) const {
    return ticket != 0 && ticket == m_freshTicket.load();
}

void CBlockExchange::OnStarted(DWORD ticket, std::size_t frameBytes, LONGLONG startedUs) {
    DWORD word = m_word.load();
    if (ticket == 0 || TicketOf(word) != ticket || StateOf(word) != kQueued) return;
    // The gate is set before the block counts as on the line: its acknowledgement is judged on
    // this thread, after this call.
    if (m_gateOutdated.exchange(false)) m_gate.Begin(m_wireBaud.load());
    m_gate.OnBlockStarted(startedUs, frameBytes);
    m_word.compare_exchange_strong(word, (word & ~kStateMask) | kOnLine);
}

bool CBlockExchange::OnAcknowledgement(LONGLONG arrivedUs) {
    // One acknowledgement per block on the line: a duplicate, or one arriving while the next
    // block still waits in the transmit slot, would let the transfer run ahead of the board and
    // report success for a block the board never confirmed.
    DWORD word = m_word.load();
    const DWORD state = StateOf(word);
    if (state == kOnLine) {
        // Read before Admit, which may learn from this one: the trace shows what it was judged by.
        const LONGLONG earliest = m_gate.EarliestUs();
        const bool spoilt = m_gate.Spoilt();
        const LONGLONG roundTrip = arrivedUs - m_gate.StartedUs();
        const bool admitted = m_gate.Admit(arrivedUs);
        const char* decision = admitted                     ? "counted"
                               : spoilt || !m_gate.Spoilt() ? "stale"
                                                            : "stale-second";
        if (admitted) {
            const DWORD acknowledged = (word & ~(kStateMask | kStaleSeen)) | kAcknowledged;
            if (m_word.compare_exchange_strong(word, acknowledged)) {
                platform::TraceAt(arrivedUs, platform::TraceKind::Ack,
                                  {roundTrip, earliest, LONGLONG{TicketOf(word)}}, decision);
                SetEvent(m_hEvent);
                return true;
            }
            decision = "superseded";
        }
        platform::TraceAt(arrivedUs, platform::TraceKind::Ack,
                          {roundTrip, earliest, LONGLONG{TicketOf(word)}}, decision);
        if (!admitted) m_word.compare_exchange_strong(word, word | kStaleSeen);
        return false;
    }
    platform::TraceAt(arrivedUs, platform::TraceKind::Ack, {0, 0, LONGLONG{TicketOf(word)}},
                      state == kQueued ? "stale-queued" : "not-in-hand");
    if (state == kQueued) m_word.compare_exchange_strong(word, word | kStaleSeen);
    return false;
}

void CBlockExchange::OnVersionReply() {
    DWORD asking = kAsking;
    if (m_word.compare_exchange_strong(asking, kIdle)) SetEvent(m_hEvent);
}

bool CBlockExchange::InHand() const {
    const DWORD state = StateOf(m_word.load());
    return state == kQueued || state == kOnLine;
}

DWORD CBlockExchange::WaitWhile(DWORD states, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD word = m_word.load();
        if ((Set(StateOf(word)) & states) == 0) return word;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return word;
        // Only a set event ends the wait early; a time-out or a failed wait is no answer.
        if (WaitForSingleObject(m_hEvent, timeoutMs - elapsed) != WAIT_OBJECT_0)
            return m_word.load();
        // The worker changes the word before it sets the event, so a set swallowed by this
        // reset is seen on the next look.
        ResetEvent(m_hEvent);
    }
}
