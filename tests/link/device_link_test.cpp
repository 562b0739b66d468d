#include "link/device_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sound.h"
#include "transport/serial_transport.h"

namespace {

using Bytes = std::vector<BYTE>;

// What the link left in the transmit slot (and empties it).
Bytes Queued() {
    BYTE out[kTransmitSlotBytes];
    DWORD n = CSerialTransport::TakeFrame(out, sizeof out);
    return Bytes(out, out + n);
}

// Payload of a board reply: the text, its terminator and the check byte.
Bytes ReplyPayload(BYTE command, const std::string& text) {
    Bytes p(text.begin(), text.end());
    p.push_back(0);
    BYTE check = command;
    for (BYTE b : p) check ^= b;
    p.push_back(check);
    return p;
}

std::string Version(const CDeviceLink& link) {
    char text[32];
    link.GetVersion(text, sizeof text);
    return text;
}

std::string Serial(const CDeviceLink& link) {
    char text[32];
    link.GetSerial(text, sizeof text);
    return text;
}

class DeviceLink : public ::testing::Test {
protected:
    void SetUp() override { Queued(); }
    void Deliver(BYTE command, const Bytes& payload) {
        link.OnFrame(command, payload.data(), static_cast<std::int32_t>(payload.size()));
    }
    // A block queued and written, as the worker does, so its acknowledgement counts.
    void SendWrittenSector() {
        BYTE block[kBlockBytes] = {};
        link.SendSector(0, block);
        const Bytes frame = Queued();
        link.OnFrameWritten(frame.data(), frame.size());
    }
    CDeviceLink link;
};

TEST_F(DeviceLink, StartsWithPlaceholderTexts) {
    EXPECT_EQ(Version(link), "0.00");
    EXPECT_EQ(Serial(link), "XXXXXX");
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_TIMEOUT);
}

TEST_F(DeviceLink, SectorFrameCarriesAddressAndStuffedBlock) {
    BYTE block[kBlockBytes];
    for (unsigned i = 0; i < kBlockBytes; ++i) block[i] = static_cast<BYTE>(0x20 + i % 64);
    EXPECT_EQ(link.SendSector(0x40, block), 1);
    Bytes expected = {0x11, 0x12, 0xFB, 0x40, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), block, block + kBlockBytes);
    expected.insert(expected.end(), {0x00, 0x11, 0x13});
    EXPECT_EQ(Queued(), expected);

    block[0] = 0x11;
    block[127] = 0x11;
    link.SendSector(0x01020304, block);
    Bytes frame = Queued();
    ASSERT_EQ(frame.size(), 140u);
    EXPECT_EQ(Bytes(frame.begin() + 3, frame.begin() + 9),
              (Bytes{0x04, 0x03, 0x02, 0x01, 0x11, 0x14}));
    EXPECT_EQ(Bytes(frame.end() - 5, frame.end()), (Bytes{0x11, 0x14, 0x00, 0x11, 0x13}));
}

TEST_F(DeviceLink, VersionReplyIsStoredAndAnsweredOnce) {
    const Bytes payload = {0x56, 0x34, 0x2E, 0x30, 0x31, 0x00, 0x4C};
    Deliver(0x01, payload);
    EXPECT_EQ(Version(link), "V4.01");
    EXPECT_EQ(Queued(), (Bytes{0x11, 0x12, 0x02, 0x00, 0x11, 0x13}));
    EXPECT_TRUE(Queued().empty());
}

// The good reply after the bad one is handled: the bad one was looked at and dropped, and left
// the link ready for the next.
TEST_F(DeviceLink, BadCheckIsDroppedWithoutReply) {
    Bytes payload = ReplyPayload(0x01, "V9.99");
    payload.back() ^= 0x01;
    Deliver(0x01, payload);
    EXPECT_EQ(Version(link), "0.00");
    EXPECT_TRUE(Queued().empty());
    Deliver(0x01, ReplyPayload(0x01, "V1.23"));
    EXPECT_EQ(Version(link), "V1.23");
    EXPECT_EQ(Queued(), (Bytes{0x11, 0x12, 0x02, 0x00, 0x11, 0x13}));
}

TEST_F(DeviceLink, TextsAreCutToTheirFields) {
    Deliver(0x02, ReplyPayload(0x02, "1234567890"));
    EXPECT_EQ(Serial(link), "12345678");
    Deliver(0x02, ReplyPayload(0x02, "42"));
    EXPECT_EQ(Serial(link), "42");

    const std::string longVersion(40, 'v');
    Deliver(0x01, ReplyPayload(0x01, longVersion));
    EXPECT_EQ(Version(link), std::string(31, 'v'));
    char small[4];
    link.GetVersion(small, sizeof small);
    EXPECT_STREQ(small, "vvv");

    // No terminator: the text runs to the end of the payload, but the check byte is not text.
    for (BYTE command : {BYTE{0x01}, BYTE{0x02}}) {
        Bytes unterminated = {'A', 'B'};
        unterminated.push_back(static_cast<BYTE>(command ^ 'A' ^ 'B'));
        Deliver(command, unterminated);
    }
    EXPECT_EQ(Version(link), "AB");
    EXPECT_EQ(Serial(link), "AB");
    Deliver(0x01, Bytes{0x01});  // nothing but the check byte
    EXPECT_EQ(Version(link), "");
}

TEST_F(DeviceLink, AcknowledgementSignalsAndBeepsOncePerFrame) {
    const unsigned long before = platform::BeepCount(MB_ICONEXCLAMATION);
    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - before, 1u);
    ResetEvent(link.m_hBlockAck);
    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFA});  // bad check
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_TIMEOUT);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - before, 1u);
    EXPECT_TRUE(Queued().empty());
    Deliver(0xFB, Bytes{0xFB});  // the block still waits for its own acknowledgement
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - before, 2u);
}

// An acknowledgement counts once, and only for a block already on the line: a repeated one
// arriving after the transfer has queued its next block must not acknowledge that block.
TEST_F(DeviceLink, AcknowledgementCountsOnlyForABlockOnTheLine) {
    BYTE block[kBlockBytes] = {};
    Deliver(0xFB, Bytes{0xFB});  // nothing sent yet
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_TIMEOUT);

    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_OBJECT_0);
    ResetEvent(link.m_hBlockAck);
    link.SendSector(0x40, block);  // queued, not yet written
    Deliver(0xFB, Bytes{0xFB});    // the board repeats its last acknowledgement
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_TIMEOUT);
    const Bytes frame = Queued();
    link.OnFrameWritten(frame.data(), frame.size());
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_OBJECT_0);
    ResetEvent(link.m_hBlockAck);
    Deliver(0xFB, Bytes{0xFB});  // and once more
    EXPECT_EQ(WaitForSingleObject(link.m_hBlockAck, 0), WAIT_TIMEOUT);
}

// Every byte 0x11, so a payload of n bytes makes a frame of 2n + 6: 253 fill the slot exactly.
TEST_F(DeviceLink, OversizedPayloadIsNotQueued) {
    for (std::size_t length : {std::size_t{253}, std::size_t{254}, std::size_t{300}}) {
        const std::vector<BYTE> payload(length, 0x11);
        const bool fits = 2 * length + 6 <= kTransmitSlotBytes;
        EXPECT_EQ(link.SendCommand(0x05, payload.data(), static_cast<unsigned>(length)) != FALSE,
                  fits)
            << length;
        EXPECT_EQ(Queued().size(), fits ? 2 * length + 6 : 0u) << length;
    }
}

}  // namespace
