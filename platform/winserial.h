// Serial-port operations of the system library, over termios. A port is opened by name:
// "COMn:" is /dev/ttyS<n-1>; a name starting with "/" is a device path used as it stands.
#pragma once

#include "platform/wincore.h"

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Device control block. `Flags` is the packed flags word; the masks below name its bits.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD Flags;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;

inline constexpr DWORD DCB_fBinary = 1u << 0;
inline constexpr DWORD DCB_fParity = 1u << 1;
inline constexpr DWORD DCB_fOutxCtsFlow = 1u << 2;
inline constexpr DWORD DCB_fOutxDsrFlow = 1u << 3;
inline constexpr DWORD DCB_fDtrControlShift = 4;  // 2 bits
inline constexpr DWORD DCB_fDtrControlMask = 3u << DCB_fDtrControlShift;
inline constexpr DWORD DCB_fDsrSensitivity = 1u << 6;
inline constexpr DWORD DCB_fTXContinueOnXoff = 1u << 7;
inline constexpr DWORD DCB_fOutX = 1u << 8;
inline constexpr DWORD DCB_fInX = 1u << 9;
inline constexpr DWORD DCB_fErrorChar = 1u << 10;
inline constexpr DWORD DCB_fNull = 1u << 11;
inline constexpr DWORD DCB_fRtsControlShift = 12;  // 2 bits
inline constexpr DWORD DCB_fRtsControlMask = 3u << DCB_fRtsControlShift;
inline constexpr DWORD DCB_fAbortOnError = 1u << 14;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
inline constexpr DWORD CBR_38400 = 38400;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD Flags;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_IOE = 0x0400;  // device error: hung up or gone

inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Opens a serial port for reading and writing. Only no-sharing, OPEN_EXISTING is offered. While
// it is open, openers that take its advisory lock (flock, as every copy of this program does) are
// refused whoever they run as, and so are plain opens by programs not running as root
// (TIOCEXCL); a program that had it open before keeps it. Fails with ERROR_FILE_NOT_FOUND for a
// missing port and ERROR_ACCESS_DENIED for one already in use (or not permitted).
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);

// What the port has now: baud, byte size, parity, stop bits, flow control; the DTR/RTS control
// modes are the ones last set (a line state cannot be read back as a mode).
BOOL GetCommState(HANDLE port, LPDCB dcb);
// Raw mode plus the settings in `dcb`. A baud rate termios cannot express fails the call with
// ERROR_INVALID_PARAMETER and changes nothing.
BOOL SetCommState(HANDLE port, LPDCB dcb);
// The kernel sizes its own queues; the sizes are recorded and otherwise advisory.
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL PurgeComm(HANDLE port, DWORD flags);
// Bytes waiting to be read; a hung-up or vanished device returns FALSE with CE_IOE set and
// ERROR_DEVICE_NOT_CONNECTED, rather than looking like a quiet line.
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
// Synchronous; `overlapped` must be NULL. Reads follow the port's time-outs; a write completes
// the whole buffer or fails.
BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);

namespace platform {
// The baud at which the port's bytes really cross a wire: the output speed set, for a UART or a
// USB serial bridge. 0 when the line's timing cannot be known here: a pseudo-terminal has no
// wire (the simulator and network serial tunnels use one), and a USB modem-class device may be
// the far end itself, not pacing its bytes at the baud it was given.
DWORD GetWireBaud(HANDLE port);
}  // namespace platform
