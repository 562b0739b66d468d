// The serial port and its one-frame transmit slot, shared by the sender (any thread) and the
// link worker (the only writer to the port).
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/wincore.h"
#include "transport/port_discovery.h"

inline constexpr std::size_t kTransmitSlotBytes = 512;

// Transport state: one set for the process.
extern std::atomic<HANDLE> g_hPort;             // the open port, or INVALID_HANDLE_VALUE
extern std::atomic<HANDLE> g_hTransmitPending;  // set while the slot holds an unwritten frame
extern std::atomic<HANDLE> g_hTransportStop;    // waited on by the destructor; nothing sets it

class CSerialTransport {
public:
    // Creates the events, then finds, opens and configures the port (OpenPort).
    CSerialTransport();
    // Waits up to 1000 ms on the stop event, then closes the port if it is open.
    virtual ~CSerialTransport();

    // How the constructor's open ended.
    const PortOpenResult& OpenResult() const { return m_open; }

    // Puts `frame` in the transmit slot, replacing a frame not yet written, and raises the
    // transmit-pending event. False, and nothing queued, for a frame longer than the slot.
    // `ticket` travels with the frame to the worker's write, so the sender can tell its own
    // frame going out from an earlier one (0: no ticket).
    static BOOL QueueFrame(const BYTE* frame, unsigned length, DWORD ticket = 0);

    // For the link worker: copies the queued frame into `out` (its ticket into `ticket`) and
    // lowers the transmit-pending event in one step, so a frame queued meanwhile is neither torn
    // nor lost. Returns its length (0 when the slot is empty).
    static DWORD TakeFrame(BYTE* out, std::size_t capacity, DWORD* ticket = nullptr);

private:
    PortOpenResult m_open;
};
