// One written block at a time, from the transfer to the board and back: the block in hand, its
// ticket, its acknowledgement's gate and the event the transfer waits on. The user-interface
// thread queues and awaits; the link worker says when the block started onto the line and when
// an acknowledgement arrived. An acknowledgement names no block, so only this state can tell
// whose it is.
//
//          (1) Queue            (2) OnStarted            (3) OnAcknowledgement
//   idle ---------------> queued ---------------> on the line ----------------> acknowledged
//   ^  |                  |  |  ^                 |  |  ^                            |
//   |  |                  |  +--+ (4) (5)         |  +--+ (4) (5)                    |
//   +--|----- (6) End ----+-----------------------+                                  |
//   +--|------------------------------- (7) Await -----------------------------------+
//   |  |
//   |  +--- (8) Resync ---> asking
//   |                         |
//   +-------------------------+ (8) answered, or time-out
//
//   (1) A new ticket, from any state: a block queued before it (a write that stalled) is no
//       longer in hand, and its write and its acknowledgement count for nothing.
//   (2) The worker wrote the frame queued with this block's ticket; the gate notes when.
//   (3) The gate admits it: the event is set, once per block.
//   (4) An acknowledgement while queued, or one the gate refuses: stale, dropped and noted.
//   (5) Await's time-out: TimedOut, or Stale when one was noted; the block stays in hand.
//   (6) The verdict drops the block, which may still be in the line: a resync is due. From
//       idle or acknowledged, End leaves nothing due.
//   (7) Await collects the acknowledgement: Acknowledged. A block not in hand: Stale at once.
//   (8) When due, before block 0: the version query is queued, and acknowledgements count for
//       nothing until its answer, which ends the resync; after a time-out it is still due.
//   Begin (a transfer's start): the gate learns the line afresh from the next block, and that
//   block asks the worker for a fresh start (StartsFresh).
#pragma once

#include <atomic>
#include <cstddef>

#include "link/ack_gate.h"
#include "platform/wincore.h"

// What a wait for a block's acknowledgement came to.
enum class BlockWait {
    Acknowledged,  // its own acknowledgement arrived
    TimedOut,      // nothing arrived that could be its own
    Stale,         // only acknowledgements that could not be its own; or it is not in hand
};

class CBlockExchange {
public:
    CBlockExchange();

    // User-interface thread.

    // A transfer starts on a line whose bytes cross at `wireBaud` (0: timing unknown).
    void Begin(DWORD wireBaud);
    // Puts the block's `frame` in the transmit slot under a new ticket; the block before it is
    // dropped. The block is armed, then the event reset, then the frame queued: no
    // acknowledgement from before can count for it, and its own cannot be lost.
    BOOL Queue(const BYTE* frame, std::size_t length);
    // Waits up to `timeoutMs` for the acknowledgement of the block Queue last queued; an
    // acknowledgement is collected once. Can run the event loop: on a window thread the wait
    // serves the window (platform/wait_dispatch.h).
    BlockWait Await(DWORD timeoutMs);
    // The verdict: the block in hand goes, so nothing that arrives later (a late
    // acknowledgement, a stalled write going out) can count for the next transfer's first.
    void End();
    // Before a transfer's first block, after one that ended with a block in hand: that block may
    // still be in the line (a board that stopped reading; a pseudo-terminal passes bytes on at
    // once, so no flush of ours reaches them), and its acknowledgement would pass for block 0's.
    // Queues `query`, a version query, and waits up to `timeoutMs` for the board's answer, which
    // shows it has read all that came before. True at once when nothing was left; false when
    // the board did not answer. Can run the event loop, as Await.
    bool Resync(const BYTE* query, std::size_t length, DWORD timeoutMs);

    // Link worker.

    // True for a frame taken from the slot with `ticket` that is a transfer's first block: the
    // port's queued input and output are to be discarded and the decoder reset before it goes.
    bool StartsFresh(DWORD ticket) const;
    // The frame queued with `ticket`, `frameBytes` long, started onto the line at `startedUs`.
    // Only the block in hand goes on the line by it; any other ticket is ignored.
    void OnStarted(DWORD ticket, std::size_t frameBytes, LONGLONG startedUs);
    // A block acknowledgement arrived at `arrivedUs`: true when it counted for the block on the
    // line (the event is set; once per block).
    bool OnAcknowledgement(LONGLONG arrivedUs);
    // A version reply arrived: it answers a resync's query.
    void OnVersionReply();

    // Any thread: a block is queued or on the line, so the transmit slot is the transfer's.
    bool InHand() const;

private:
    enum State : DWORD { kIdle, kQueued, kOnLine, kAcknowledged, kAsking };
    // The state in the low bits, then a flag for an acknowledgement dropped as stale, then the
    // ticket: one word, so the worker never pairs one block's ticket with another's state.
    static constexpr DWORD kStateMask = 7;
    static constexpr DWORD kStaleSeen = 8;
    static constexpr DWORD kTicketShift = 4;
    static constexpr DWORD StateOf(DWORD word) { return word & kStateMask; }
    static constexpr DWORD TicketOf(DWORD word) { return word >> kTicketShift; }

    static constexpr DWORD Set(DWORD state) { return 1u << state; }
    // Waits on the event while the word's state is one of `states` (a set of Set bits), up to
    // `timeoutMs`; returns the word it ended with.
    DWORD WaitWhile(DWORD states, DWORD timeoutMs);

    std::atomic<DWORD> m_word{kIdle};
    HANDLE m_hEvent;         // set by the worker as it acknowledges the block or answers the resync
    DWORD m_lastTicket = 0;  // the user-interface thread's, as are the next two
    bool m_bFreshStart = false;  // the next block is a transfer's first
    bool m_bResync = false;      // the last transfer ended with a block in hand
    std::atomic<DWORD> m_freshTicket{0};
    // The gate is the worker's; a transfer's start reaches it through these two.
    CAckGate m_gate;
    std::atomic<DWORD> m_wireBaud{0};
    std::atomic<bool> m_gateOutdated{true};
};
