#include "link/frame_codec.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(std::uint8_t command, const Bytes& payload) {
    Bytes out(MaxEncodedSize(payload.size()));
    std::size_t n = EncodeFrame(command, payload.data(), static_cast<unsigned>(payload.size()),
                                out.data(), out.size());
    out.resize(n);
    return out;
}

struct EncodeCase {
    const char* name;
    std::uint8_t command;
    Bytes payload;
    Bytes wire;
};

TEST(EncodeFrame, MatchesWireVectors) {
    const EncodeCase cases[] = {
        {"empty version query", 0x01, {}, {0x11, 0x12, 0x01, 0x00, 0x11, 0x13}},
        {"stuffed command", 0x11, {}, {0x11, 0x12, 0x11, 0x14, 0x00, 0x11, 0x13}},
        {"stuffed payload byte", 0x02, {0x11}, {0x11, 0x12, 0x02, 0x11, 0x14, 0x00, 0x11, 0x13}},
        {"two stuffed bytes",
         0x02,
         {0x11, 0x11},
         {0x11, 0x12, 0x02, 0x11, 0x14, 0x11, 0x14, 0x00, 0x11, 0x13}},
        {"only 0x11 is escaped",
         0x05,
         {0x12, 0x13, 0x14, 0x00},
         {0x11, 0x12, 0x05, 0x12, 0x13, 0x14, 0x00, 0x00, 0x11, 0x13}},
    };
    for (const auto& c : cases) EXPECT_EQ(Encode(c.command, c.payload), c.wire) << c.name;
}

TEST(EncodeFrame, CheckByteIsAlwaysZeroAndFrameFitsTheSlot) {
    // The largest frame this system sends: a write block whose 132 bytes are all 0x11.
    Bytes payload(132, 0x11);
    Bytes wire = Encode(0xFB, payload);
    EXPECT_EQ(wire.size(), 270u);
    EXPECT_EQ(wire[wire.size() - 3], 0x00);
    EXPECT_LE(wire.size(), 512u);
}

// The frame needs 7 bytes: one fewer is refused untouched, exactly 7 is enough.
TEST(EncodeFrame, RefusesTooSmallBufferWithoutWriting) {
    std::uint8_t out[7] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const std::uint8_t payload[] = {0x01};
    EXPECT_EQ(EncodeFrame(0x02, payload, 1, out, 6), 0u);
    for (std::uint8_t b : out) EXPECT_EQ(b, 0xAA);
    EXPECT_EQ(EncodeFrame(0x02, payload, 1, out, sizeof out), sizeof out);
    EXPECT_EQ(Bytes(out, out + sizeof out), (Bytes{0x11, 0x12, 0x02, 0x01, 0x00, 0x11, 0x13}));
}

// Feeds `stream` and collects every completed frame, as the link worker does.
struct Decoded {
    std::uint8_t command;
    Bytes payload;
};

std::vector<Decoded> Feed(CFrameDecoder& d, const Bytes& stream) {
    std::vector<Decoded> frames;
    for (std::uint8_t b : stream) {
        d.Push(b);
        if (d.state == CFrameDecoder::Complete) {
            frames.push_back({d.command, Bytes(d.payload, d.payload + d.length)});
            d.Reset();
        }
    }
    return frames;
}

struct DecodeCase {
    const char* name;
    Bytes stream;
    std::vector<Decoded> frames;
};

TEST(CFrameDecoder, DecodesWireVectors) {
    const DecodeCase cases[] = {
        {"payload keeps the check byte",
         {0x11, 0x12, 0x02, 0x41, 0x42, 0x01, 0x11, 0x13},
         {{0x02, {0x41, 0x42, 0x01}}}},
        {"stuffed pair becomes one 0x11",
         {0x11, 0x12, 0x01, 0x11, 0x14, 0x10, 0x11, 0x13},
         {{0x01, {0x11, 0x10}}}},
        {"stuffed command", {0x11, 0x12, 0x11, 0x14, 0x05, 0x11, 0x13}, {{0x11, {0x05}}}},
        {"noise before a frame is ignored",
         {0x00, 0x13, 0x12, 0xFF, 0x11, 0x12, 0x01, 0x01, 0x11, 0x13},
         {{0x01, {0x01}}}},
        // Each dropped frame is followed by a good one, which must still decode.
        {"new header inside a frame loses both frames",
         {0x11, 0x12, 0x01, 0x41, 0x11, 0x12, 0x02, 0x02, 0x11, 0x13, 0x11, 0x12, 0x03, 0x03, 0x11,
          0x13},
         {{0x03, {0x03}}}},
        {"two leads in a row do not start a frame",
         {0x11, 0x11, 0x12, 0x01, 0x01, 0x11, 0x13, 0x11, 0x12, 0x03, 0x03, 0x11, 0x13},
         {{0x03, {0x03}}}},
        {"stuffed command without 0x14 is dropped",
         {0x11, 0x12, 0x11, 0x15, 0x11, 0x13, 0x11, 0x12, 0x03, 0x03, 0x11, 0x13},
         {{0x03, {0x03}}}},
        {"two frames back to back",
         {0x11, 0x12, 0x01, 0x01, 0x11, 0x13, 0x11, 0x12, 0xFB, 0xFB, 0x11, 0x13},
         {{0x01, {0x01}}, {0xFB, {0xFB}}}},
        {"empty payload frame", {0x11, 0x12, 0x07, 0x11, 0x13}, {{0x07, {}}}},
    };
    for (const auto& c : cases) {
        auto d = std::make_unique<CFrameDecoder>();
        auto frames = Feed(*d, c.stream);
        ASSERT_EQ(frames.size(), c.frames.size()) << c.name;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].command, c.frames[i].command) << c.name;
            EXPECT_EQ(frames[i].payload, c.frames[i].payload) << c.name;
        }
        EXPECT_EQ(d->state, CFrameDecoder::Idle) << c.name;
    }
}

TEST(CFrameDecoder, StatesHaveTheirFixedValues) {
    EXPECT_EQ(CFrameDecoder::Idle, 0);
    EXPECT_EQ(CFrameDecoder::SawLead, 0x10);
    EXPECT_EQ(CFrameDecoder::InCommand, 0x20);
    EXPECT_EQ(CFrameDecoder::CommandEscape, 0x30);
    EXPECT_EQ(CFrameDecoder::InPayload, 0x40);
    EXPECT_EQ(CFrameDecoder::PayloadEscape, 0x50);
    EXPECT_EQ(CFrameDecoder::Complete, 0x60);
}

TEST(CFrameDecoder, AbortedFrameLeavesZeroFilledBufferAndCompleteHoldsUntilReset) {
    auto d = std::make_unique<CFrameDecoder>();
    for (std::uint8_t b : {0x11, 0x12, 0x01, 0x41, 0x42, 0x11, 0x99}) d->Push(b);
    EXPECT_EQ(d->state, CFrameDecoder::Idle);
    EXPECT_EQ(d->length, 0);
    EXPECT_EQ(d->payload[0], 0);
    EXPECT_EQ(d->payload[1], 0);

    for (std::uint8_t b : {0x11, 0x12, 0x01, 0x41, 0x11, 0x13}) d->Push(b);
    ASSERT_EQ(d->state, CFrameDecoder::Complete);
    d->Push(0x11);  // ignored until the caller resets
    EXPECT_EQ(d->state, CFrameDecoder::Complete);
    EXPECT_EQ(d->length, 1);
    EXPECT_EQ(d->payload[1], 0);  // the byte after the payload is a terminator
}

TEST(CFrameDecoder, OversizedFrameIsDroppedWithoutOverrun) {
    auto d = std::make_unique<CFrameDecoder>();
    d->Push(0x11);
    d->Push(0x12);
    d->Push(0x01);
    for (int i = 0; i < CFrameDecoder::kPayloadCapacity + 100; ++i) {
        d->Push(static_cast<std::uint8_t>(0x20 + i % 50));
        ASSERT_LT(d->length, CFrameDecoder::kPayloadCapacity);
    }
    // The over-long frame was dropped; its tail is noise and the next frame decodes normally.
    auto frames = Feed(*d, {0x11, 0x13, 0x11, 0x12, 0x01, 0x01, 0x11, 0x13});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, Bytes{0x01});
}

TEST(CFrameDecoder, LargestPayloadThatStillFitsIsDelivered) {
    auto d = std::make_unique<CFrameDecoder>();
    // With the check byte the decoder holds capacity - 1 bytes: one is kept as terminator.
    Bytes payload(CFrameDecoder::kPayloadCapacity - 2, 0x11);  // every byte stuffed
    Bytes wire = Encode(0x03, payload);
    auto frames = Feed(*d, wire);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), payload.size() + 1);  // plus the 0x00 check byte
}

TEST(VerifyFrame, XorOfCommandAndPayloadMustBeZero) {
    const std::uint8_t good[] = {0x41, 0x42, 0x01};
    const std::uint8_t bad[] = {0x41, 0x42, 0x03};
    EXPECT_TRUE(VerifyFrame(0x02, good, 3));
    EXPECT_FALSE(VerifyFrame(0x02, bad, 3));
    EXPECT_TRUE(VerifyFrame(0x00, nullptr, 0));
    EXPECT_FALSE(VerifyFrame(0x01, nullptr, 0));
}

// Random commands and payloads survive the wire, once the board's check byte replaces the 0x00.
TEST(FrameRoundTrip, RandomFramesDecodeToWhatWasSent) {
    std::mt19937 rng(20261208);
    auto d = std::make_unique<CFrameDecoder>();
    for (int round = 0; round < 2000; ++round) {
        std::uint8_t command = static_cast<std::uint8_t>(rng());
        Bytes payload(rng() % 200);
        for (auto& b : payload) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0x11 : rng());
        std::uint8_t check = command;
        for (std::uint8_t b : payload) check ^= b;
        Bytes withCheck = payload;
        withCheck.push_back(check);

        // The encoder always sends 0x00 as check byte; appending the real one as payload and
        // dropping the encoder's gives the frame the board would send.
        Bytes wire = Encode(command, withCheck);
        wire.erase(wire.end() - 3);
        auto frames = Feed(*d, wire);
        ASSERT_EQ(frames.size(), 1u) << round;
        EXPECT_EQ(frames[0].command, command);
        EXPECT_EQ(frames[0].payload, withCheck);
        EXPECT_TRUE(VerifyFrame(command, frames[0].payload.data(),
                                static_cast<std::int32_t>(frames[0].payload.size())));
    }
}

}  // namespace
