#include "transport/link_worker.h"

#include "link/device_link.h"
#include "link/frame_codec.h"
#include "platform/winserial.h"
#include "transport/serial_transport.h"

std::atomic<BYTE> g_bStopLinkWorker{0};

namespace {
constexpr DWORD kReceiveBytes = 4096;
constexpr DWORD kIdlePauseMs = 5;
}  // namespace

DWORD LinkWorker(LPVOID) {
    BYTE received[kReceiveBytes] = {};
    BYTE frame[kTransmitSlotBytes];
    g_FrameDecoder.Reset();
    while (g_bStopLinkWorker.load() == 0) {
        const HANDLE port = g_hPort.load();
        const HANDLE pending = g_hTransmitPending.load();
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(port, &errors, &status);

        // Receiving comes first: a queued frame only goes out once the input queue is empty.
        if (port != INVALID_HANDLE_VALUE && status.cbInQue > 0) {
            DWORD count = 0;
            ReadFile(port, received,
                     status.cbInQue < kReceiveBytes ? status.cbInQue : kReceiveBytes, &count,
                     nullptr);
            for (DWORD i = 0; i < count; ++i) {
                g_FrameDecoder.Push(received[i]);
                if (g_FrameDecoder.state == CFrameDecoder::Complete) {
                    g_DeviceLink.OnFrame(g_FrameDecoder.command, g_FrameDecoder.payload,
                                         g_FrameDecoder.length);
                    g_FrameDecoder.Reset();
                }
            }
            if (count > 0) continue;
        }

        if (pending != nullptr && WaitForSingleObject(pending, 0) == WAIT_OBJECT_0) {
            DWORD length = CSerialTransport::TakeFrame(frame, sizeof frame);
            DWORD written = 0;
            if (length > 0 && WriteFile(port, frame, length, &written, nullptr) &&
                written == length)
                g_DeviceLink.OnFrameWritten(frame, length);
            continue;
        }

        // The pause is a wait on the transmit-pending event, so a frame queued now goes out at
        // once; without an event (no transport yet) it is a plain pause, never a busy loop.
        if (pending == nullptr || WaitForSingleObject(pending, kIdlePauseMs) == WAIT_FAILED)
            Sleep(kIdlePauseMs);
    }
    return 0;
}

bool StopLinkWorker(HANDLE thread, DWORD timeoutMs) {
    g_bStopLinkWorker.store(1);
    if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) return false;
    g_bStopLinkWorker.store(0);
    return true;
}
