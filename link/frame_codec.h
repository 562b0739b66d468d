// Frames on the serial line: 11 12, command, payload (0x11 stuffed as 11 14), check byte, 11 13.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kFrameLead = 0x11;
inline constexpr std::uint8_t kFrameStart = 0x12;
inline constexpr std::uint8_t kFrameEnd = 0x13;
inline constexpr std::uint8_t kFrameStuff = 0x14;

// Largest frame EncodeFrame can build for a payload of `length` bytes.
constexpr std::size_t MaxEncodedSize(std::size_t length) {
    return 2 * length + 7;
}

// Writes the frame for `command` and `payload` into `out` (capacity `outCapacity`) and returns
// its length, or 0 if it would not fit. The check byte sent is always 0x00: the board ignores it.
std::size_t EncodeFrame(std::uint8_t command, const std::uint8_t* payload, unsigned length,
                        std::uint8_t* out, std::size_t outCapacity);

// True when command ^ payload[0] ^ ... ^ payload[length-1] is zero; the check byte is the
// payload's last byte.
bool VerifyFrame(std::uint8_t command, const std::uint8_t* payload, std::int32_t length);

// Receive-side state machine, fed one byte at a time by the link worker.
class CFrameDecoder {
public:
    enum State : std::int16_t {
        Idle = 0x00,
        SawLead = 0x10,
        InCommand = 0x20,
        CommandEscape = 0x30,
        InPayload = 0x40,
        PayloadEscape = 0x50,
        Complete = 0x60,
    };

    static constexpr std::int32_t kPayloadCapacity = 8192;

    CFrameDecoder() { Reset(); }
    virtual ~CFrameDecoder() = default;

    // Back to Idle with an empty, zero-filled payload.
    void Reset();
    // Advances by one received byte; when `state` is Complete the caller takes the frame and
    // calls Reset() before pushing more.
    void Push(std::uint8_t b);

    // Unstuffed payload with the check byte as its last byte; the byte after it is always 0,
    // so a text payload can be read as a zero-terminated string.
    std::uint8_t payload[kPayloadCapacity];
    std::uint8_t command;
    std::int32_t length;
    std::int16_t state;

private:
    void Append(std::uint8_t b);
};

// The process's one decoder, defined by the program (after the application object).
extern CFrameDecoder g_FrameDecoder;
