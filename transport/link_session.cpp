#include "transport/link_session.h"

#include <new>

#include "link/device_link.h"
#include "transport/link_worker.h"
#include "transport/serial_transport.h"

namespace {
constexpr DWORD kReplySliceMs = 50;
constexpr DWORD kWorkerStopMs = 2000;

bool Signalled(HANDLE object) {
    return object != nullptr && WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
}
}  // namespace

CLinkSession::~CLinkSession() {
    Close(kWorkerStopMs);
    if (m_pause != nullptr) CloseHandle(m_pause);
}

PortOpenResult CLinkSession::Open() {
    if (m_transport == nullptr) m_transport = new (std::nothrow) CSerialTransport;
    // Without a transport there is no port: as a failed open, but with no box shown.
    if (m_transport == nullptr) return {PortOpen::CannotOpen, ERROR_NOT_ENOUGH_MEMORY};
    return m_transport->OpenResult();
}

void CLinkSession::Settle(HANDLE interrupt) {
    Pause(kPortSettleMs, interrupt);
}

HANDLE CLinkSession::StartWorkerThread() {
    // Suspended, then resumed, as the design starts it; only ever after the transport exists,
    // so the worker sees the final port handle from its first pass.
    HANDLE thread = CreateThread(nullptr, 0, LinkWorker, nullptr, CREATE_SUSPENDED, nullptr);
    if (thread != nullptr) ResumeThread(thread);
    return thread;
}

bool CLinkSession::StartWorker() {
    if (m_worker == nullptr) m_worker = StartWorkerThread();
    return m_worker != nullptr;
}

BoardAnswer CLinkSession::Query(ReplyWait wait, HANDLE interrupt, DWORD limitMs) {
    // The counts move when a reply is stored, whatever its text: a board that says "0.00" has
    // answered too.
    const unsigned versions = g_DeviceLink.VersionReplies();
    const unsigned serials = g_DeviceLink.SerialReplies();
    BoardAnswer answer;
    auto look = [&] {
        answer.serial = g_DeviceLink.SerialReplies() != serials;
        // The serial query only goes out in answer to the version.
        answer.version = answer.serial || g_DeviceLink.VersionReplies() != versions;
    };
    g_DeviceLink.SendCommand(kCmdVersion, nullptr, 0);
    if (wait == ReplyWait::FullPause) {
        Pause(limitMs, interrupt);
        look();
        return answer;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        look();
        if (answer.serial || Signalled(interrupt)) return answer;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limitMs) return answer;
        // The reply events are pulsed, so the counts are what tell; a wait only ends the slice.
        const DWORD left = limitMs - elapsed;
        const HANDLE objects[2] = {g_DeviceLink.m_hReply[answer.version ? kCmdSerial : kCmdVersion],
                                   interrupt};
        WaitForMultipleObjects(interrupt != nullptr ? 2 : 1, objects, FALSE,
                               left < kReplySliceMs ? left : kReplySliceMs);
    }
}

void CLinkSession::ClosePort() {
    delete m_transport;
    m_transport = nullptr;
}

void CLinkSession::ClosePortAtOnce() {
    if (m_transport == nullptr) return;
    SetEvent(g_hTransportStop.load());
    ClosePort();
}

bool CLinkSession::StopWorker(DWORD timeoutMs) {
    if (m_worker == nullptr) return true;
    if (!StopLinkWorker(m_worker, timeoutMs)) return false;
    CloseHandle(m_worker);
    m_worker = nullptr;
    return true;
}

bool CLinkSession::Close(DWORD timeoutMs) {
    if (!StopWorker(timeoutMs)) return false;
    ClosePortAtOnce();
    return true;
}

void CLinkSession::Pause(DWORD milliseconds, HANDLE interrupt) {
    if (m_pause == nullptr) m_pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE objects[2] = {m_pause, interrupt};
    WaitForMultipleObjects(interrupt != nullptr ? 2 : 1, objects, FALSE, milliseconds);
}
