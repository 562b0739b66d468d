// The receive path: bytes fed one at a time into the decoder, completed frames handed to the
// device link as the link worker does. The decoder is checked byte by byte against a plain
// model of its state table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/device_link.h"
#include "link/frame_codec.h"
#include "transport/serial_transport.h"

namespace {

// The state table written out again, independently of the decoder's own code.
struct Model {
    int state = CFrameDecoder::Idle;
    std::uint8_t command = 0;
    std::int32_t length = 0;
    std::uint8_t payload[CFrameDecoder::kPayloadCapacity] = {};

    void Push(std::uint8_t b) {
        auto append = [&](std::uint8_t v) {
            if (length >= CFrameDecoder::kPayloadCapacity - 1) {  // dropped: too long
                state = CFrameDecoder::Idle;
                return;
            }
            payload[length++] = v;
            state = CFrameDecoder::InPayload;
        };
        switch (state) {
            case CFrameDecoder::Idle:
                if (b == 0x11) state = CFrameDecoder::SawLead;
                break;
            case CFrameDecoder::SawLead:
                state = b == 0x12 ? CFrameDecoder::InCommand : CFrameDecoder::Idle;
                break;
            case CFrameDecoder::InCommand:
                command = b;
                state = b == 0x11 ? CFrameDecoder::CommandEscape : CFrameDecoder::InPayload;
                break;
            case CFrameDecoder::CommandEscape:
                state = b == 0x14 ? CFrameDecoder::InPayload : CFrameDecoder::Idle;
                break;
            case CFrameDecoder::InPayload:
                if (b == 0x11)
                    state = CFrameDecoder::PayloadEscape;
                else
                    append(b);
                break;
            case CFrameDecoder::PayloadEscape:
                if (b == 0x13)
                    state = CFrameDecoder::Complete;
                else if (b == 0x14)
                    append(0x11);
                else
                    state = CFrameDecoder::Idle;
                break;
            default:
                break;
        }
        if (state == CFrameDecoder::Idle) {
            command = 0;
            length = 0;
            std::memset(payload, 0, sizeof payload);
        }
    }
};

Model g_model;

void Require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    g_FrameDecoder.Reset();
    g_model = Model{};
    BYTE frame[kTransmitSlotBytes];
    CSerialTransport::TakeFrame(frame, sizeof frame);
    // An odd first byte puts a block on the line, so acknowledgements are taken as well.
    if (size > 0 && (data[0] & 1) != 0) {
        BYTE block[kBlockBytes] = {};
        g_DeviceLink.BeginTransfer();
        g_DeviceLink.SendSector(0, block);
        DWORD ticket = 0;
        const DWORD n = CSerialTransport::TakeFrame(frame, sizeof frame, &ticket);
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        g_DeviceLink.Blocks().OnStarted(ticket, n, now.QuadPart);
    }
    for (std::size_t i = 0; i < size; ++i) {
        g_FrameDecoder.Push(data[i]);
        g_model.Push(data[i]);
        Require(g_FrameDecoder.state == g_model.state);
        Require(g_FrameDecoder.length == g_model.length);
        Require(g_FrameDecoder.length >= 0 &&
                g_FrameDecoder.length < CFrameDecoder::kPayloadCapacity);
        Require(g_FrameDecoder.payload[g_FrameDecoder.length] == 0);
        if (g_FrameDecoder.state != CFrameDecoder::Complete) continue;
        Require(g_FrameDecoder.command == g_model.command);
        Require(std::memcmp(g_FrameDecoder.payload, g_model.payload,
                            static_cast<std::size_t>(g_model.length)) == 0);
        g_DeviceLink.OnFrame(g_FrameDecoder.command, g_FrameDecoder.payload, g_FrameDecoder.length);
        g_FrameDecoder.Reset();
        g_model = Model{};
        char text[64];
        g_DeviceLink.GetVersion(text, sizeof text);
        Require(std::strlen(text) < 32);
        g_DeviceLink.GetSerial(text, sizeof text);
        Require(std::strlen(text) <= 8);
        // The version reply's serial query, if any, must be a whole, well-formed frame; with a
        // block in hand there is none.
        const DWORD n = CSerialTransport::TakeFrame(frame, sizeof frame);
        Require(n == 0 || (n == 6 && std::memcmp(frame, "\x11\x12\x02\x00\x11\x13", 6) == 0));
    }
    return 0;
}
