#include "link/frame_codec.h"

#include <cstring>

std::size_t EncodeFrame(std::uint8_t command, const std::uint8_t* payload, unsigned length,
                        std::uint8_t* out, std::size_t outCapacity) {
    std::size_t needed = 6 + length + (command == kFrameLead ? 1 : 0);
    for (unsigned i = 0; i < length; ++i) needed += payload[i] == kFrameLead ? 1 : 0;
    if (out == nullptr || needed > outCapacity) return 0;

    std::size_t n = 0;
    out[n++] = kFrameLead;
    out[n++] = kFrameStart;
    out[n++] = command;
    if (command == kFrameLead) out[n++] = kFrameStuff;
    for (unsigned i = 0; i < length; ++i) {
        out[n++] = payload[i];
        if (payload[i] == kFrameLead) out[n++] = kFrameStuff;
    }
    out[n++] = 0x00;  // the board does not check frames it receives; it has always been sent as 0
    out[n++] = kFrameLead;
    out[n++] = kFrameEnd;
    return n;
}

bool VerifyFrame(std::uint8_t command, const std::uint8_t* payload, std::int32_t length) {
    std::uint8_t x = command;
    for (std::int32_t i = 0; i < length; ++i) x ^= payload[i];
    return x == 0;
}

void CFrameDecoder::Reset() {
    std::memset(payload, 0, sizeof payload);
    command = 0;
    length = 0;
    state = Idle;
}

void CFrameDecoder::Append(std::uint8_t b) {
    // One byte is kept free so the payload is always followed by a zero; a frame that would
    // overrun is dropped.
    if (length >= kPayloadCapacity - 1) {
        state = Idle;
        return;
    }
    payload[length++] = b;
    state = InPayload;
}

void CFrameDecoder::Push(std::uint8_t b) {
    switch (state) {
        case Idle:
            if (b == kFrameLead) state = SawLead;
            break;
        case SawLead:
            state = b == kFrameStart ? InCommand : Idle;
            break;
        case InCommand:
            command = b;
            state = b == kFrameLead ? CommandEscape : InPayload;
            break;
        case CommandEscape:
            state = b == kFrameStuff ? InPayload : Idle;
            break;
        case InPayload:
            if (b == kFrameLead) {
                state = PayloadEscape;
            } else {
                Append(b);
            }
            break;
        case PayloadEscape:
            if (b == kFrameEnd) {
                state = Complete;
            } else if (b == kFrameStuff) {
                Append(kFrameLead);
            } else {
                state = Idle;
            }
            break;
        case Complete:
            break;
        default:  // a state no byte can produce; start over rather than guess
            state = Idle;
            break;
    }
    if (state == Idle) Reset();
}
