// The protocol endpoint towards the board: sends commands, handles its replies and keeps what
// is known of it (firmware version, serial number).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

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
    BYTE SendSector(DWORD address, const BYTE* block);
    // A completed frame from the link worker; `payload` ends with the check byte.
    void OnFrame(BYTE command, const BYTE* payload, std::int32_t length);
    // The link worker has written `frame` to the port. A block acknowledgement counts only
    // after its block has gone out, so a repeated or stray acknowledgement cannot stand in for
    // the next block's.
    void OnFrameWritten(const BYTE* frame, std::size_t length);

    // Consistent copies of the texts, zero-terminated and cut to `capacity`; safe from any
    // thread while replies are being stored.
    void GetVersion(char* out, std::size_t capacity) const;
    void GetSerial(char* out, std::size_t capacity) const;

    // Signalled when the board acknowledges a written block; the transfer waits on it and
    // resets it.
    HANDLE m_hBlockAck;
    // Pulsed for every valid frame whose command code is below 50.
    HANDLE m_hReply[kReplyEvents];

private:
    enum BlockState : int { kNoBlock, kBlockQueued, kBlockOnLine };
    std::atomic<int> m_blockState{kNoBlock};
    mutable std::mutex m_textLock;  // the worker writes the texts while the view paints
    char m_szVersion[32];
    char m_szSerial[32];
};

// The process's one device link, defined by the program (before the application object).
extern CDeviceLink g_DeviceLink;
