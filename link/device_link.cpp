#include "link/device_link.h"

#include <atomic>
#include <cstring>

#include "link/frame_codec.h"
#include "platform/trace.h"
#include "platform/winserial.h"
#include "transport/serial_transport.h"

namespace {
// Set while a frame is being handled, so a frame can never be dispatched inside another.
std::atomic<bool> g_bDispatchBusy{false};

// Copies at most `limit` characters of the text in `payload` (stopping at a zero) into `field`
// of `capacity` bytes, zero-filling the rest. The payload's last byte is the check byte, never
// text: a reply without a terminator would otherwise show it as a stray trailing character.
void StoreText(char* field, std::size_t capacity, const BYTE* payload, std::int32_t length,
               std::size_t limit) {
    std::size_t n = 0;
    const std::size_t available = length > 1 ? static_cast<std::size_t>(length) - 1 : 0;
    while (n < available && n < limit && n + 1 < capacity && payload[n] != 0) ++n;
    std::memset(field, 0, capacity);
    std::memcpy(field, payload, n);
}

LONGLONG NowUs() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void CopyOut(char* out, std::size_t capacity, const char* text) {
    if (out == nullptr || capacity == 0) return;
    std::size_t n = std::strlen(text);
    if (n + 1 > capacity) n = capacity - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}
}  // namespace

CDeviceLink::CDeviceLink() {
    std::memset(m_szVersion, 0, sizeof m_szVersion);
    std::memset(m_szSerial, 0, sizeof m_szSerial);
    std::strcpy(m_szVersion, "0.00");
    std::strcpy(m_szSerial, "XXXXXX");
    for (HANDLE& h : m_hReply) h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// The events end with the process: the worker may still signal them during exit.
CDeviceLink::~CDeviceLink() = default;

BOOL CDeviceLink::SendCommand(BYTE command, const BYTE* payload, unsigned length) {
    BYTE frame[kTransmitSlotBytes];
    const std::size_t n = EncodeFrame(command, payload, length, frame, sizeof frame);
    if (n == 0) return FALSE;  // would not fit the transmit slot
    return CSerialTransport::QueueFrame(frame, static_cast<unsigned>(n));
}

BYTE CDeviceLink::SendSector(DWORD address, const BYTE* block) {
    BYTE payload[4 + kBlockBytes];
    payload[0] = static_cast<BYTE>(address);
    payload[1] = static_cast<BYTE>(address >> 8);
    payload[2] = static_cast<BYTE>(address >> 16);
    payload[3] = static_cast<BYTE>(address >> 24);
    std::memcpy(payload + 4, block, kBlockBytes);
    BYTE frame[kTransmitSlotBytes];
    const std::size_t n = EncodeFrame(kCmdWriteBlock, payload, sizeof payload, frame, sizeof frame);
    if (n == 0) return FALSE;
    return static_cast<BYTE>(m_blocks.Queue(frame, n));
}

void CDeviceLink::BeginTransfer() {
    BeginTransfer(platform::GetWireBaud(g_hPort.load()));
}

void CDeviceLink::BeginTransfer(DWORD wireBaud) {
    platform::Trace(platform::TraceKind::TransferBegin, {LONGLONG{wireBaud}});
    m_blocks.Begin(wireBaud);
}

void CDeviceLink::EndTransfer() {
    m_blocks.End();
}

bool CDeviceLink::Resync(DWORD timeoutMs) {
    BYTE query[8];
    const std::size_t n = EncodeFrame(kCmdVersion, nullptr, 0, query, sizeof query);
    return m_blocks.Resync(query, n, timeoutMs);
}

void CDeviceLink::OnFrame(BYTE command, const BYTE* payload, std::int32_t length,
                          LONGLONG receivedUs) {
    if (g_bDispatchBusy.exchange(true)) return;
    const bool good = payload != nullptr && length >= 0 && VerifyFrame(command, payload, length);
    platform::Trace(platform::TraceKind::Read,
                    {command, length, receivedUs >= 0 ? receivedUs : NowUs(), good});
    if (!good) {
        g_bDispatchBusy.store(false);
        return;
    }
    switch (command) {
        case kCmdVersion: {
            {
                std::lock_guard lock(m_textLock);
                StoreText(m_szVersion, sizeof m_szVersion, payload, length, sizeof m_szVersion - 1);
                platform::TraceText(platform::TraceKind::BoardText, m_szVersion, "version");
            }
            m_versionReplies.fetch_add(1);
            m_blocks.OnVersionReply();
            // During a transfer the serial query would take the one-frame slot from the block
            // waiting in it, and the upgrade would be lost: the version is kept, nothing asked.
            if (!m_blocks.InHand()) SendCommand(kCmdSerial, nullptr, 0);
            break;
        }
        case kCmdSerial: {
            {
                std::lock_guard lock(m_textLock);
                StoreText(m_szSerial, sizeof m_szSerial, payload, length, 8);
                platform::TraceText(platform::TraceKind::BoardText, m_szSerial, "serial");
            }
            m_serialReplies.fetch_add(1);
            break;
        }
        case kCmdWriteBlock:
            if (m_blocks.OnAcknowledgement(receivedUs >= 0 ? receivedUs : NowUs()))
                MessageBeep(MB_ICONEXCLAMATION);
            break;
        default:
            break;
    }
    if (command < kReplyEvents) PulseEvent(m_hReply[command]);
    g_bDispatchBusy.store(false);
}

void CDeviceLink::GetVersion(char* out, std::size_t capacity) const {
    std::lock_guard lock(m_textLock);
    CopyOut(out, capacity, m_szVersion);
}

void CDeviceLink::GetSerial(char* out, std::size_t capacity) const {
    std::lock_guard lock(m_textLock);
    CopyOut(out, capacity, m_szSerial);
}
