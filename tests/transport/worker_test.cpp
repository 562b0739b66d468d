#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "link/device_link.h"
#include "platform/message_box.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"
#include "transport/link_session.h"
#include "transport/link_worker.h"
#include "transport/serial_transport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kSerialQuery = {0x11, 0x12, 0x02, 0x00, 0x11, 0x13};

// A reply from the board with its real check byte.
Bytes Reply(std::uint8_t command, const std::string& text, bool badCheck = false) {
    Bytes f = {0x11, 0x12, command};
    std::uint8_t check = command;
    for (char c : text) {
        f.push_back(static_cast<std::uint8_t>(c));
        check ^= static_cast<std::uint8_t>(c);
    }
    f.push_back(0);
    f.push_back(badCheck ? static_cast<std::uint8_t>(check ^ 1) : check);
    f.push_back(0x11);
    f.push_back(0x13);
    return f;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Version() {
    char text[32];
    g_DeviceLink.GetVersion(text, sizeof text);
    return text;
}

std::string Serial() {
    char text[32];
    g_DeviceLink.GetSerial(text, sizeof text);
    return text;
}

// Hands the link a valid reply directly, as the worker would.
void Store(std::uint8_t command, const std::string& text) {
    Bytes frame = Reply(command, text);
    g_DeviceLink.OnFrame(command, frame.data() + 3, static_cast<std::int32_t>(frame.size() - 5));
}

class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        hive_ = std::make_unique<testutil::Hive>(testutil::DriverKey("01", "Quatech", &pty_.path));
        ASSERT_TRUE(link_.Open().opened());
        // A known starting point: the link's texts from earlier tests are overwritten here.
        Store(0x01, "0.00");
        Store(0x02, "XXXXXX");
        CSerialTransport::TakeFrame(scratch_, sizeof scratch_);
    }
    void TearDown() override {
        if (thread_) {
            EXPECT_TRUE(StopLinkWorker(thread_, 2000));
        }
        link_.ClosePortAtOnce();
    }
    void Start() { thread_ = testutil::StartWorker(); }
    // Bytes the port holds unread: the worker's input queue, seen through the pty's own slave.
    std::size_t Unread() const {
        int n = 0;
        ::ioctl(pty_.slave, FIONREAD, &n);
        return static_cast<std::size_t>(n);
    }

    testutil::PtyPair pty_;
    std::unique_ptr<testutil::Hive> hive_;
    CLinkSession link_;
    HANDLE thread_ = nullptr;
    BYTE scratch_[kTransmitSlotBytes];
};

// The version reply is stored and answered at once with exactly one serial query.
TEST_F(Worker, VersionReplyIsAnsweredWithTheSerialQuery) {
    Start();
    pty_.WriteMaster({0x11, 0x12, 0x01, 0x56, 0x34, 0x2E, 0x30, 0x31, 0x00, 0x4C, 0x11, 0x13});
    EXPECT_EQ(pty_.ReadMaster(7, 300), kSerialQuery);
    EXPECT_EQ(Version(), "V4.01");
    pty_.WriteMaster(Reply(0x02, "1234567890"));
    testutil::WaitUntil([] { return Serial() != "XXXXXX"; });
    EXPECT_EQ(Serial(), "12345678");
}

TEST_F(Worker, FrameSplitOverSeveralReadsIsOneFrame) {
    Start();
    Bytes reply = Reply(0x01, "V5.10");
    // Pauses, not waits: each piece should come in a read of its own, and the worker's reads
    // cannot be seen from here. Pieces that happen to arrive together only weaken the test.
    pty_.WriteMaster(Bytes(reply.begin(), reply.begin() + 2));
    Sleep(30);
    pty_.WriteMaster(Bytes(reply.begin() + 2, reply.end() - 1));
    Sleep(30);
    pty_.WriteMaster(Bytes(reply.end() - 1, reply.end()));
    EXPECT_EQ(pty_.ReadMaster(6, 1000), kSerialQuery);
    EXPECT_EQ(Version(), "V5.10");
}

TEST_F(Worker, FramesInOneReadAreDispatchedInOrderThroughNoise) {
    // Everything arrives before the worker's first pass, so it comes in one read.
    const Bytes input = Bytes{0x55, 0x13, 0x00, 0x12} + Reply(0x02, "11112222") +
                        Bytes{0x14, 0x99} + Reply(0x01, "V1.00") + Bytes{0x11, 0x11, 0x12} +
                        Reply(0x01, "V2.00");
    pty_.WriteMaster(input);
    ASSERT_TRUE(testutil::WaitUntil([&] { return Unread() == input.size(); }));
    Start();
    EXPECT_EQ(pty_.ReadMaster(6, 1000), kSerialQuery);
    EXPECT_EQ(Version(), "V2.00");
    EXPECT_EQ(Serial(), "11112222");
}

// A good reply sent after the bad one is learnt, so the bad one was read and dropped, not left
// unread.
TEST_F(Worker, BadCheckByteChangesNothing) {
    Start();
    pty_.WriteMaster(Reply(0x01, "V9.99", true) + Reply(0x02, "55554444"));
    ASSERT_TRUE(testutil::WaitUntil([] { return Serial() == "55554444"; }));
    EXPECT_TRUE(pty_.ReadMaster(1, 150).empty());  // no serial query for the bad version reply
    EXPECT_EQ(Version(), "0.00");
}

// A frame queued while input waits goes out only after the input is handled: here the input
// is a version reply whose serial query takes the slot over, so the queued frame never leaves.
// With more noise ahead of the reply than one read takes, the reads in between must not let
// the frame out either.
TEST_F(Worker, ReceivingComesBeforeSending) {
    for (int triples : {300, 2000}) {
        SCOPED_TRACE(::testing::Message() << triples * 3 << " bytes of noise");
        Bytes input;
        for (int i = 0; i < triples; ++i) input = input + Bytes{0x55, 0x00, 0x13};
        input = input + Reply(0x01, "V3.00");
        pty_.WriteMaster(input);
        const BYTE versionQuery[] = {0x11, 0x12, 0x01, 0x00, 0x11, 0x13};
        CSerialTransport::QueueFrame(versionQuery, sizeof versionQuery);
        // The line discipline holds at most 4095 bytes; the rest waits in the pty behind it.
        const std::size_t held = std::min<std::size_t>(input.size(), 4095);
        ASSERT_TRUE(testutil::WaitUntil([&] { return Unread() == held; }));
        Start();
        EXPECT_EQ(pty_.ReadMaster(12, 300), kSerialQuery);
        ASSERT_TRUE(StopLinkWorker(thread_, 2000));
        thread_ = nullptr;
    }
}

TEST_F(Worker, QueuedFrameLeavesWithoutWaitingForTheIdlePause) {
    Start();
    const BYTE frame[] = {0x11, 0x12, 0x01, 0x00, 0x11, 0x13};
    // Many frames in a row, each waiting for the previous one on the line: a lost or torn
    // frame shows up as a short or wrong read. Each is queued while the worker is in its pause.
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(testutil::WaitUntil(testutil::OtherThreadsAsleep)) << "frame " << i;
        CSerialTransport::QueueFrame(frame, sizeof frame);
        Bytes seen = pty_.ReadMaster(6, 1000);
        ASSERT_EQ(seen, Bytes(frame, frame + 6)) << "frame " << i;
    }
}

TEST_F(Worker, StopsWhenAskedEvenAfterThePortHasGone) {
    Start();
    pty_.CloseAll();
    const BYTE frame[] = {0x11, 0x12, 0x01, 0x00, 0x11, 0x13};
    CSerialTransport::QueueFrame(frame, sizeof frame);  // dropped by a failing write
    EXPECT_TRUE(testutil::WaitUntil(
        [] { return WaitForSingleObject(g_hTransmitPending.load(), 0) == WAIT_TIMEOUT; }));
    link_.ClosePortAtOnce();  // the worker goes on polling a closed handle
    Sleep(30);  // a pause, not a wait: lets the worker make some passes over the closed handle
    EXPECT_TRUE(StopLinkWorker(thread_, 2000));
    DWORD code = 1;
    GetExitCodeThread(thread_, &code);
    EXPECT_EQ(code, 0u);
    thread_ = nullptr;
    platform::TakeRecordedMessages();
}

// Two senders and the worker share the slot: every frame written is one whole frame.
TEST(TransmitSlot, FramesAreNeverTorn) {
    std::atomic<bool> stop{false};
    auto sender = [&](BYTE fill, unsigned length) {
        std::vector<BYTE> frame(length, fill);
        while (!stop.load()) CSerialTransport::QueueFrame(frame.data(), length);
    };
    std::thread a(sender, 0xAA, 200), b(sender, 0xBB, 90);
    BYTE out[kTransmitSlotBytes];
    int taken = 0;
    // Counted by frames taken, not by tries: on a loaded machine the senders may start late.
    const DWORD start = GetTickCount();
    bool whole = true;
    while (whole && taken < 5000 && GetTickCount() - start < 10000) {
        DWORD n = CSerialTransport::TakeFrame(out, sizeof out);
        if (n == 0) continue;
        ++taken;
        whole = (n == 200 && out[0] == 0xAA) || (n == 90 && out[0] == 0xBB);
        for (DWORD k = 1; k < n; ++k) whole = whole && out[k] == out[0];
    }
    stop.store(true);
    a.join();
    b.join();
    EXPECT_TRUE(whole) << "torn frame after " << taken;
    EXPECT_GT(taken, 0);
}

TEST(DeviceLinkText, PaintingNeverSeesAHalfWrittenVersion) {
    CDeviceLink link;
    const std::string longText(31, 'L');
    auto frameFor = [](const std::string& text) {
        std::vector<BYTE> p(text.begin(), text.end());
        p.push_back(0);
        BYTE check = 0x01;
        for (BYTE b : p) check ^= b;
        p.push_back(check);
        return p;
    };
    const std::vector<BYTE> a = frameFor(longText), b = frameFor("S");
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            const auto& f = (i & 1) ? a : b;
            link.OnFrame(0x01, f.data(), static_cast<std::int32_t>(f.size()));
            written.fetch_add(1);
        }
    });
    // The writer is at work before painting starts, and the texts it stores are seen.
    EXPECT_TRUE(testutil::WaitUntil([&] { return written.load() > 0; }));
    std::string odd;
    for (int i = 0; i < 20000 && odd.empty(); ++i) {
        char text[32];
        link.GetVersion(text, sizeof text);
        std::string s = text;
        if (s != longText && s != "S" && s != "0.00") odd = s;
    }
    stop.store(true);
    writer.join();
    EXPECT_EQ(odd, "");
    char last[32];
    link.GetVersion(last, sizeof last);
    EXPECT_NE(std::string(last), "0.00");
    BYTE rest[kTransmitSlotBytes];
    CSerialTransport::TakeFrame(rest, sizeof rest);
}

}  // namespace
