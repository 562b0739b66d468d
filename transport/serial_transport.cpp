#include "transport/serial_transport.h"

#include <cstring>
#include <mutex>

#include "transport/port_discovery.h"

std::atomic<HANDLE> g_hPort{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hTransmitPending{nullptr};
std::atomic<HANDLE> g_hTransportStop{nullptr};

namespace {
// The slot is filled by the sender and copied out by the worker; the lock keeps a write from
// ever seeing half of one frame and half of the next.
std::mutex g_slotLock;
BYTE g_TransmitSlot[kTransmitSlotBytes];
DWORD g_dwTransmitLength = 0;
DWORD g_dwTransmitTicket = 0;
}  // namespace

CSerialTransport::CSerialTransport() {
    g_hTransportStop.store(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_hTransmitPending.store(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_open = OpenPort();
}

CSerialTransport::~CSerialTransport() {
    WaitForSingleObject(g_hTransportStop.load(), 1000);
    HANDLE port = g_hPort.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

BOOL CSerialTransport::QueueFrame(const BYTE* frame, unsigned length, DWORD ticket) {
    if (length > kTransmitSlotBytes || (frame == nullptr && length > 0)) return FALSE;
    std::lock_guard lock(g_slotLock);
    if (length > 0) std::memcpy(g_TransmitSlot, frame, length);
    g_dwTransmitLength = length;
    g_dwTransmitTicket = ticket;
    SetEvent(g_hTransmitPending.load());
    return TRUE;
}

DWORD CSerialTransport::TakeFrame(BYTE* out, std::size_t capacity, DWORD* ticket) {
    std::lock_guard lock(g_slotLock);
    DWORD n = g_dwTransmitLength <= capacity ? g_dwTransmitLength : 0;
    if (n > 0) std::memcpy(out, g_TransmitSlot, n);
    if (ticket != nullptr) *ticket = n > 0 ? g_dwTransmitTicket : 0;
    g_dwTransmitLength = 0;
    g_dwTransmitTicket = 0;
    ResetEvent(g_hTransmitPending.load());
    return n;
}
