#include "link/device_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/sound.h"
#include "tests/support/wait_until.h"
#include "transport/serial_transport.h"

namespace {

using Bytes = std::vector<BYTE>;

// What the link left in the transmit slot (and empties it), and the ticket it went with.
Bytes Queued(DWORD* ticket = nullptr) {
    BYTE out[kTransmitSlotBytes];
    DWORD n = CSerialTransport::TakeFrame(out, sizeof out, ticket);
    return Bytes(out, out + n);
}

LONGLONG NowUs() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
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
    void Deliver(BYTE command, const Bytes& payload, LONGLONG atUs = -1) {
        link.OnFrame(command, payload.data(), static_cast<std::int32_t>(payload.size()), atUs);
    }
    // What the transfer's wait for the block last queued would find now; an acknowledgement is
    // collected by it.
    BlockWait Awaited(DWORD timeoutMs = 0) { return link.Blocks().Await(timeoutMs); }
    bool Acknowledged() { return Awaited() == BlockWait::Acknowledged; }
    // The worker's write of a frame taken from the slot.
    void Written(const Bytes& frame, DWORD ticket, LONGLONG startedUs = NowUs()) {
        link.Blocks().OnStarted(ticket, frame.size(), startedUs);
    }
    // A block queued and written, as the worker does, so its acknowledgement counts.
    void SendWrittenSector(LONGLONG startedUs = NowUs()) {
        BYTE block[kBlockBytes] = {};
        link.SendSector(0, block);
        DWORD ticket = 0;
        const Bytes frame = Queued(&ticket);
        Written(frame, ticket, startedUs);
    }
    CDeviceLink link;
};

TEST_F(DeviceLink, StartsWithPlaceholderTexts) {
    EXPECT_EQ(Version(link), "0.00");
    EXPECT_EQ(Serial(link), "XXXXXX");
    EXPECT_EQ(Awaited(), BlockWait::Stale);  // nothing in hand
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
    EXPECT_EQ(Awaited(), BlockWait::Acknowledged);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - before, 1u);
    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFA});  // bad check
    EXPECT_EQ(Awaited(), BlockWait::TimedOut);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - before, 1u);
    EXPECT_TRUE(Queued().empty());
    Deliver(0xFB, Bytes{0xFB});  // the block still waits for its own acknowledgement
    EXPECT_EQ(Awaited(), BlockWait::Acknowledged);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - before, 2u);
}

// An acknowledgement counts once, and only for a block already on the line: a repeated one
// arriving after the transfer has queued its next block must not acknowledge that block.
TEST_F(DeviceLink, AcknowledgementCountsOnlyForABlockOnTheLine) {
    BYTE block[kBlockBytes] = {};
    Deliver(0xFB, Bytes{0xFB});  // nothing sent yet
    EXPECT_FALSE(Acknowledged());

    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_TRUE(Acknowledged());
    link.SendSector(0x40, block);  // queued, not yet written
    Deliver(0xFB, Bytes{0xFB});    // the board repeats its last acknowledgement
    EXPECT_EQ(Awaited(), BlockWait::Stale);
    DWORD ticket = 0;
    const Bytes frame = Queued(&ticket);
    Written(frame, ticket);
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_TRUE(Acknowledged());
    Deliver(0xFB, Bytes{0xFB});  // and once more
    EXPECT_FALSE(Acknowledged());

    // A block whose write stalled through a failed transfer finishes going out once the next
    // transfer has queued its block 0: that write is not block 0's, nor is its acknowledgement.
    link.SendSector(0x80, block);
    DWORD stalledTicket = 0;
    const Bytes stalled = Queued(&stalledTicket);
    link.SendSector(0, block);
    Written(stalled, stalledTicket);
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_FALSE(Acknowledged());
    const Bytes first = Queued(&ticket);
    EXPECT_NE(ticket, stalledTicket);
    Written(first, ticket);
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_TRUE(Acknowledged());

    // A block on the line when its transfer failed is dropped at the verdict: its late
    // acknowledgement counts for nothing, and one counted but never awaited does not count for
    // the next block 0.
    SendWrittenSector();
    link.EndTransfer();
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_EQ(Awaited(), BlockWait::Stale);
    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFB});
    link.EndTransfer();
    link.SendSector(0, block);
    EXPECT_EQ(Awaited(20), BlockWait::TimedOut);
}

// Only a transfer's first block asks the worker to discard what the port still holds.
TEST_F(DeviceLink, FirstBlockOfATransferStartsClean) {
    BYTE block[kBlockBytes] = {};
    DWORD tickets[3] = {};
    link.BeginTransfer(0);
    for (DWORD& ticket : tickets) {
        link.SendSector(0, block);
        Queued(&ticket);
    }
    EXPECT_TRUE(link.Blocks().StartsFresh(tickets[0]));
    EXPECT_FALSE(link.Blocks().StartsFresh(tickets[1]));
    EXPECT_FALSE(link.Blocks().StartsFresh(tickets[2]));
    link.SendCommand(kCmdVersion, nullptr, 0);
    DWORD ticket = 0;
    Queued(&ticket);
    EXPECT_FALSE(link.Blocks().StartsFresh(ticket));
}

// After a transfer that ended with a block in hand, the next one's block 0 waits until the board
// has answered a version query; an acknowledgement meanwhile counts for nothing. One that ended
// in step asks nothing.
TEST_F(DeviceLink, ResyncAfterABlockLeftInHandWaitsForTheBoardsAnswer) {
    const Bytes versionQuery = {0x11, 0x12, 0x01, 0x00, 0x11, 0x13};
    SendWrittenSector();
    Deliver(0xFB, Bytes{0xFB});
    ASSERT_TRUE(Acknowledged());
    link.EndTransfer();
    EXPECT_TRUE(link.Resync(0));
    EXPECT_TRUE(Queued().empty());

    SendWrittenSector();
    link.EndTransfer();
    // The worker's and the board's side: the query goes out, the lost block's acknowledgement
    // comes late, then the answer, if the board gives one.
    const auto board = [&](bool answers) {
        return std::thread([&, answers] {
            Bytes asked;
            testutil::WaitUntil([&] { return !(asked = Queued()).empty(); });
            EXPECT_EQ(asked, versionQuery);
            Deliver(0xFB, Bytes{0xFB});
            if (answers) Deliver(0x01, ReplyPayload(0x01, "V4.01"));
        });
    };
    std::thread silent = board(false);
    EXPECT_FALSE(link.Resync(200));
    silent.join();
    std::thread answering = board(true);
    EXPECT_TRUE(link.Resync(testutil::kPatienceMs));
    answering.join();
    EXPECT_EQ(Awaited(), BlockWait::Stale);
    EXPECT_EQ(Queued(), (Bytes{0x11, 0x12, 0x02, 0x00, 0x11, 0x13}));  // the serial query
    EXPECT_TRUE(link.Resync(0));
    EXPECT_TRUE(Queued().empty());
}

// An acknowledgement sooner after its block started onto the line than the block could have
// reached the board is a stale copy: dropped, no beep, and the block still waits for its own.
// On a line of known baud the wire time (less 10 %) decides from the first block; on one of
// unknown timing (a pseudo-terminal) half a block's time on the board's 38400-baud line, once
// two blocks have been acknowledged and no round trip has been quicker than that line allows.
TEST_F(DeviceLink, AcknowledgementSoonerThanTheLineAllowsIsStale) {
    // Stale: dropped, and the block's own acknowledgement counts when it comes. Spoilt: a copy
    // was counted before the gate could judge, so nothing counts any more.
    enum Verdict { Counted, Stale, Spoilt };
    struct Row {
        DWORD baud;                    // 0: a line whose timing is unknown
        std::vector<LONGLONG> learnt;  // round trips of the blocks before this one
        LONGLONG queuedUs;             // how long the block waited in the slot before the write
        LONGLONG ackUs;                // after the block started onto the line
        Verdict verdict;
    };
    // Round trips of `n` blocks each taking `us`, after those in `before`.
    const auto then = [](std::vector<LONGLONG> before, std::size_t n, LONGLONG us) {
        before.insert(before.end(), n, us);
        return before;
    };
    const std::vector<LONGLONG> paced(5, 37'500);  // the simulator at 38400 baud
    // A block of zeros makes a 138-byte frame: 35.9 ms at 38400 baud, 12.0 ms at 115200.
    const Row rows[] = {
        {38400, {}, 0, 36'000, Counted},
        {38400, {}, 0, 32'400, Counted},
        {38400, {}, 0, 32'200, Stale},
        {38400, {}, 0, 1'500, Stale},       // the first block too
        {38400, {}, 30'000, 5'000, Stale},  // the wait in the slot is not time on the line
        {115200, {}, 0, 10'900, Counted},
        {115200, {}, 0, 10'700, Stale},
        {0, {}, 0, 100, Counted},
        {0, {37'500}, 0, 100, Counted},  // one round trip cannot tell a line from a slow start
        {0, {48'000, 300}, 0, 100, Counted},
        {0, {37'500, 37'000}, 0, 1'500, Stale},
        {0, paced, 0, 18'000, Counted},  // the gate is 17.97 ms
        {0, paced, 0, 17'900, Stale},
        {0, paced, 0, 1'500, Stale},  // a repeated copy a few milliseconds behind
        {0, paced, 30'000, 5'000, Stale},
        {0, {32'400, 32'400, 32'400}, 0, 1'500, Stale},
        {0, {32'300, 32'400, 32'400}, 0, 1'500, Counted},  // quicker than the board's line
        {0, {19'900, 19'900, 19'900}, 0, 100, Counted},    // a busy host's pace
        {0, {48'000, 19'700, 7'900}, 0, 100, Counted},
        {0, {300, 40'000, 200, 45'000, 250}, 0, 100, Counted},
        // A line whose pace changes part-way: a board slow to write, a tunnel's latency.
        {0, then({300, 300}, 13, 30'000), 0, 300, Counted},    // slower, then back
        {0, then({300, 300}, 13, 37'500), 0, 1'500, Counted},  // never below quicker ones
        {0, then({300}, 4, 37'500), 0, 37'500, Counted},       // slower from the second block
        {0, then({}, 10, 30'000), 0, 300, Counted},            // quicker after ten slow blocks
        {0, then({}, 3, 33'000), 0, 30'000, Counted},          // above the gate, and learnt...
        {0, then(then({}, 3, 33'000), 1, 30'000), 0, 300, Counted},  // ...so the gate is off
        {0, then({}, 5, 137'500), 0, 37'500, Counted},               // a tunnel's latency falling
        // A copy of the first block's acknowledgement counted for the second, found when the
        // fifth is: every block after it was credited with the one before, so nothing counts.
        {0, {37'500, 1'500, 35'900, 37'500}, 0, 37'500, Spoilt},
        {0, {37'500, 1'500, 31'000, 30'000}, 0, 34'000, Spoilt},  // shortened by the host
        // Judged once, and a single change of pace cannot look like a copy.
        {0, {300, 1'500, 35'900, 37'500}, 0, 37'500, Counted},  // slower from the third
        {0, {37'500, 1'500, 300, 300}, 0, 300, Counted},        // quicker from the second
        {0, {37'500, 1'500, 35'900, 300}, 0, 300, Counted},
        {0, {30'000, 1'500, 35'900, 37'500}, 0, 37'500, Counted},
        {0, then({37'500, 1'500, 300, 300, 300}, 5, 37'500), 0, 37'500, Counted},  // then slower
    };
    BYTE block[kBlockBytes] = {};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "baud " << row.baud << ", " << row.learnt.size()
                                          << " learnt, acknowledged after " << row.ackUs << " us");
        link.BeginTransfer(row.baud);
        LONGLONG t = NowUs();
        for (LONGLONG roundTrip : row.learnt) {
            SendWrittenSector(t);
            Deliver(0xFB, Bytes{0xFB}, t + roundTrip);
            ASSERT_TRUE(Acknowledged());
            t += roundTrip + 1000;
        }
        link.SendSector(0, block);
        DWORD ticket = 0;
        const Bytes frame = Queued(&ticket);
        const LONGLONG started = t + row.queuedUs;
        Written(frame, ticket, started);
        const unsigned long beeps = platform::BeepCount(MB_ICONEXCLAMATION);
        Deliver(0xFB, Bytes{0xFB}, started + row.ackUs);
        const bool counted = row.verdict == Counted;
        EXPECT_EQ(Awaited(), counted ? BlockWait::Acknowledged : BlockWait::Stale);
        EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - beeps, counted ? 1u : 0u);
        if (!counted) {  // its own acknowledgement, once the block has crossed the line
            Deliver(0xFB, Bytes{0xFB}, started + 40'000);
            EXPECT_EQ(Acknowledged(), row.verdict == Stale);
        }
    }
}

// A version reply while a block is queued or on the line is stored, but its serial query would
// take the slot from the block: none is sent until the block has been acknowledged.
TEST_F(DeviceLink, VersionReplyDuringATransferAsksNothing) {
    BYTE block[kBlockBytes] = {};
    link.SendSector(0, block);
    Deliver(0x01, ReplyPayload(0x01, "V5.00"));
    EXPECT_EQ(Version(link), "V5.00");
    DWORD ticket = 0;
    const Bytes frame = Queued(&ticket);
    EXPECT_EQ(frame.size(), 138u) << "the block is still in the slot";
    Written(frame, ticket);
    Deliver(0x01, ReplyPayload(0x01, "V5.01"));
    EXPECT_TRUE(Queued().empty());
    Deliver(0xFB, Bytes{0xFB});
    EXPECT_TRUE(Acknowledged());
    Deliver(0x01, ReplyPayload(0x01, "V5.02"));
    EXPECT_EQ(Queued(), (Bytes{0x11, 0x12, 0x02, 0x00, 0x11, 0x13}));
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
