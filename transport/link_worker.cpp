#include "transport/link_worker.h"

#include "link/device_link.h"
#include "link/frame_codec.h"
#include "platform/trace.h"
#include "platform/winserial.h"
#include "transport/serial_transport.h"

std::atomic<BYTE> g_bStopLinkWorker{0};

namespace {
LONGLONG NowUs() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

constexpr DWORD kReceiveBytes = 4096;
// What the kernel's line discipline holds for a reader at most; the driver keeps the rest.
constexpr DWORD kLineDisciplineBytes = 4095;
// The pause while the port is missing or its device is gone: then nothing can announce work.
constexpr DWORD kIdlePauseMs = 5;

// Raised with the stop flag so a pausing worker sees it at once. Made when the program loads,
// not by the worker's first pass, which may fall inside a transfer: the byte path allocates
// nothing.
const HANDLE g_hWorkerStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}  // namespace

DWORD LinkWorker(LPVOID) {
    BYTE received[kReceiveBytes] = {};
    BYTE frame[kTransmitSlotBytes];
    g_FrameDecoder.Reset();
    const HANDLE stop = g_hWorkerStop;
    bool backlog = false;
    while (g_bStopLinkWorker.load() == 0) {
        const HANDLE port = g_hPort.load();
        const HANDLE pending = g_hTransmitPending.load();
        DWORD errors = 0;
        COMSTAT status{};
        const bool portLive = ClearCommError(port, &errors, &status) != FALSE;

        // Receiving comes first: a queued frame only goes out once the input queue is empty.
        if (port != INVALID_HANDLE_VALUE && status.cbInQue > 0) {
            DWORD count = 0;
            ReadFile(port, received,
                     status.cbInQue < kReceiveBytes ? status.cbInQue : kReceiveBytes, &count,
                     nullptr);
            const LONGLONG receivedUs = NowUs();
            DWORD dropped = 0;  // bytes the decoder threw away: noise, or a frame broken off
            for (DWORD i = 0; i < count; ++i) {
                g_FrameDecoder.Push(received[i]);
                dropped += g_FrameDecoder.state == CFrameDecoder::Idle;
                if (g_FrameDecoder.state == CFrameDecoder::Complete) {
                    g_DeviceLink.OnFrame(g_FrameDecoder.command, g_FrameDecoder.payload,
                                         g_FrameDecoder.length, receivedUs);
                    g_FrameDecoder.Reset();
                }
            }
            if (dropped > 0)
                platform::TraceAt(receivedUs, platform::TraceKind::Noise, {LONGLONG{dropped}});
            if (count > 0) {
                backlog = count >= kLineDisciplineBytes;
                continue;
            }
        }

        // A read that took all the line discipline holds may have left more in the driver,
        // which passes it up a moment later: until it has had that moment the input is not
        // drained, and a queued frame waits.
        if (backlog) {
            backlog = false;
            if (port != INVALID_HANDLE_VALUE &&
                WaitForSingleObject(port, kIdlePauseMs) == WAIT_OBJECT_0)
                continue;
        }

        if (pending != nullptr && WaitForSingleObject(pending, 0) == WAIT_OBJECT_0) {
            DWORD ticket = 0;
            DWORD length = CSerialTransport::TakeFrame(frame, sizeof frame, &ticket);
            CBlockExchange& blocks = g_DeviceLink.Blocks();
            const bool fresh = blocks.StartsFresh(ticket);
            if (fresh && port != INVALID_HANDLE_VALUE) {
                // A transfer's first block: a block of a failed transfer still in the kernel's
                // queue would go out ahead of it, and its acknowledgement be taken for this one's.
                PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
                g_FrameDecoder.Reset();
            }
            DWORD written = 0;
            // Taken before the write: the frame starts onto the line as the write hands it over.
            const LONGLONG startedUs = NowUs();
            const bool sent = length > 0 && WriteFile(port, frame, length, &written, nullptr) &&
                              written == length;
            if (sent) blocks.OnStarted(ticket, length, startedUs);
            // The command follows the frame's lead and start bytes (stuffed only for 0x11).
            if (length > 2)
                platform::Trace(platform::TraceKind::Write,
                                {frame[2], LONGLONG{length}, LONGLONG{ticket}, startedUs, sent},
                                fresh ? "fresh" : nullptr);
            continue;
        }

        // The pause ends the moment there is work: a byte arriving, a frame queued or a stop
        // asked for, so it needs no time limit. A port that is missing or whose device is gone
        // cannot announce anything (a gone device would release every wait at once); then the
        // pause is the short one, and a failed wait becomes a plain pause, never a busy loop.
        HANDLE objects[3];
        DWORD count = 0;
        if (stop != nullptr) objects[count++] = stop;
        if (pending != nullptr) objects[count++] = pending;
        const bool waitForPort = port != INVALID_HANDLE_VALUE && portLive;
        if (waitForPort) objects[count++] = port;
        const DWORD timeout = waitForPort && count == 3 ? INFINITE : kIdlePauseMs;
        if (count == 0 || WaitForMultipleObjects(count, objects, FALSE, timeout) == WAIT_FAILED)
            Sleep(kIdlePauseMs);
    }
    return 0;
}

bool StopLinkWorker(HANDLE thread, DWORD timeoutMs) {
    g_bStopLinkWorker.store(1);
    SetEvent(g_hWorkerStop);
    if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) return false;
    g_bStopLinkWorker.store(0);
    ResetEvent(g_hWorkerStop);
    return true;
}
