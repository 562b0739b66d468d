// The protocol endpoint towards the board: sends commands, handles its replies and keeps what
// is known of it (firmware version, serial number).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "link/block_exchange.h"
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
    // Write-block frame: 4-byte word address (least significant byte first) and 128 bytes,
    // queued through the block exchange, which the transfer then awaits.
    BYTE SendSector(DWORD address, const BYTE* block);
    // Before a transfer's first block: its acknowledgements are judged against the port's own
    // line timing, or against this transfer's round trips where that cannot be known, and the
    // first block starts clean (CBlockExchange::Begin).
    void BeginTransfer();
    // The same for a line whose bytes cross at `wireBaud` (0: timing unknown).
    void BeginTransfer(DWORD wireBaud);
    // At the verdict: the block in hand is dropped (CBlockExchange::End).
    void EndTransfer();
    // Before a transfer's first block: after one that ended with a block in hand, the board
    // answers a version query first (CBlockExchange::Resync). Can run the event loop.
    bool Resync(DWORD timeoutMs);
    // A completed frame from the link worker; `payload` ends with the check byte. `receivedUs`
    // is when its bytes were read (QueryPerformanceCounter); by default, now.
    void OnFrame(BYTE command, const BYTE* payload, std::int32_t length, LONGLONG receivedUs = -1);
    // The written block in hand, from queued to acknowledged.
    CBlockExchange& Blocks() { return m_blocks; }

    // Consistent copies of the texts, zero-terminated and cut to `capacity`; safe from any
    // thread while replies are being stored.
    void GetVersion(char* out, std::size_t capacity) const;
    void GetSerial(char* out, std::size_t capacity) const;
    // How many version and serial replies have been stored: a count that has moved is the
    // board's answer, whatever text it sent (a pulsed reply event can pass between two waits).
    unsigned VersionReplies() const { return m_versionReplies.load(); }
    unsigned SerialReplies() const { return m_serialReplies.load(); }

    // Pulsed for every valid frame whose command code is below 50.
    HANDLE m_hReply[kReplyEvents];

private:
    CBlockExchange m_blocks;
    std::atomic<unsigned> m_versionReplies{0};
    std::atomic<unsigned> m_serialReplies{0};
    mutable std::mutex m_textLock;  // the worker writes the texts while the view paints
    char m_szVersion[32];
    char m_szSerial[32];
};

// The process's one device link, defined by the program (before the application object).
extern CDeviceLink g_DeviceLink;
