// The protocol endpoint towards the board: sends commands, handles its replies and keeps what
// is known of it (firmware version, serial number).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "link/ack_gate.h"
#include "platform/wincore.h"

inline constexpr BYTE kCmdVersion = 0x01;
inline constexpr BYTE kCmdSerial = 0x02;
inline constexpr BYTE kCmdWriteBlock = 0xFB;
inline constexpr unsigned kBlockBytes = 128;
inline constexpr int kReplyEvents = 50;

class CDeviceLink {
public:
    CDeviceLink();
    virtual ~CDeviceLink();

    // Encodes the frame and places it in the transport's transmit slot.
    virtual BOOL SendCommand(BYTE command, const BYTE* payload, unsigned length);
    // Write-block frame: 4-byte word address (least significant byte first) and 128 bytes.
    // The frame goes into the transmit slot with a ticket of its own (see OnFrameWritten). The
    // block is armed, then the acknowledge event reset, then the frame queued: no
    // acknowledgement from before can count for it, and its own cannot be lost.
    BYTE SendSector(DWORD address, const BYTE* block);
    // Before a transfer's first block: its acknowledgements are judged against the port's own
    // line timing, or against this transfer's round trips where that cannot be known. The first
    // block then asks the worker to start clean: the port's queued input and output discarded
    // and the decoder reset, just before it is written.
    void BeginTransfer();
    // The same for a line whose bytes cross at `wireBaud` (0: timing unknown).
    void BeginTransfer(DWORD wireBaud);
    // At the verdict: no block is in hand any more, so nothing that arrives later (a late
    // acknowledgement, a stalled write going out) can count for the next transfer's first.
    void EndTransfer();
    // Before a transfer's first block, after one that ended with a block unacknowledged: that
    // block may still be in the line (a board that stopped reading; a pseudo-terminal passes
    // bytes on at once, so no flush of ours reaches them), and its acknowledgement would pass
    // for block 0's. A version query answered shows the board has read all that came before;
    // acknowledgements meanwhile count for nothing. Waits up to `timeoutMs` on the calling
    // thread; false when the board did not answer. True at once when nothing was left.
    bool Resync(DWORD timeoutMs);
    // A completed frame from the link worker; `payload` ends with the check byte. `receivedUs`
    // is when its bytes were read (QueryPerformanceCounter); by default, now.
    void OnFrame(BYTE command, const BYTE* payload, std::int32_t length, LONGLONG receivedUs = -1);
    // The link worker has written `frame`, queued with `ticket`, to the port; it started onto
    // the line at `startedUs`. A block acknowledgement counts only after the block SendSector
    // last queued (its ticket, not any write-block frame) has gone out, and no sooner than the
    // block could have reached the board, so a repeated or stray acknowledgement cannot stand
    // in for the next block's.
    void OnFrameWritten(const BYTE* frame, std::size_t length, DWORD ticket, LONGLONG startedUs);

    // Consistent copies of the texts, zero-terminated and cut to `capacity`; safe from any
    // thread while replies are being stored.
    void GetVersion(char* out, std::size_t capacity) const;
    void GetSerial(char* out, std::size_t capacity) const;
    // How many version and serial replies have been stored: a count that has moved is the
    // board's answer, whatever text it sent (a pulsed reply event can pass between two waits).
    unsigned VersionReplies() const { return m_versionReplies.load(); }
    unsigned SerialReplies() const { return m_serialReplies.load(); }

    // Signalled when the board acknowledges a written block; the transfer waits on it and
    // resets it.
    HANDLE m_hBlockAck;
    // Pulsed for every valid frame whose command code is below 50.
    HANDLE m_hReply[kReplyEvents];

private:
    // The block in hand: its ticket above the two low bits, its state in them, in one word so
    // the worker never pairs one block's ticket with another's state.
    enum BlockState : DWORD { kNoBlock, kBlockQueued, kBlockOnLine };
    static constexpr DWORD kStateBits = 2;
    static constexpr DWORD kStateMask = (1u << kStateBits) - 1;
    std::atomic<DWORD> m_block{kNoBlock};
    DWORD m_lastTicket = 0;  // the user-interface thread's
    bool m_bFreshStart = false;  // the next block is a transfer's first; the same thread's
    bool m_bResync = false;      // the last transfer ended with a block in hand; the same thread's
    std::atomic<unsigned> m_versionReplies{0};
    std::atomic<unsigned> m_serialReplies{0};
    // The gate is the worker's; a transfer's start reaches it through these two.
    CAckGate m_ackGate;
    std::atomic<DWORD> m_wireBaud{0};
    std::atomic<bool> m_ackGateStale{true};
    mutable std::mutex m_textLock;  // the worker writes the texts while the view paints
    char m_szVersion[32];
    char m_szSerial[32];
};

// The process's one device link, defined by the program (before the application object).
extern CDeviceLink g_DeviceLink;
