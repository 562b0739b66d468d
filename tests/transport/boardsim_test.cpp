#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "link/device_link.h"
#include "platform/message_box.h"
#include "platform/sound.h"
#include "platform/winreg.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/wait_until.h"
#include "transport/link_worker.h"
#include "transport/port_discovery.h"
#include "transport/serial_transport.h"
#include "upgrade/image_checksum.h"

namespace {

constexpr std::uint32_t kImageBytes = 68492;  // 536 blocks, the last holding 12 bytes

// The link, its worker and a simulated board on the other end of a pty.
class Board : public ::testing::Test {
protected:
    void Connect(std::vector<std::string> args) {
        ASSERT_TRUE(link_.Connect(std::move(args)));
        sim_ = link_.sim.get();
    }

    void TearDown() override {
        g_DeviceLink.EndTransfer();  // a block left in hand would keep the next test's queries
        EXPECT_TRUE(link_.Disconnect());
        platform::TakeRecordedMessages();
        if (!expect_.empty()) std::remove(expect_.c_str());
    }

    // The board's --expect file: the first `bytes` of `image`'s file (header included).
    const std::string& ExpectFile(const std::vector<std::uint8_t>& image, std::size_t bytes) {
        expect_ = testutil::TempPath("expect");
        std::ofstream(expect_, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(bytes));
        return expect_;
    }

    // The board's summary, with the exit status checked.
    std::string Summary(int wantStatus) {
        int status = -1;
        const std::string summary = sim_->Finish(&status);
        EXPECT_EQ(status, wantStatus) << summary;
        return summary;
    }

    // Sends blocks [0, count) of `image` as the transfer does; returns how many were
    // acknowledged before the first time-out.
    int Send(const std::vector<std::uint8_t>& image, int count, DWORD timeoutMs) {
        for (int i = 0; i < count; ++i) {
            g_DeviceLink.SendSector(static_cast<DWORD>(64 * i), image.data() + 8 + 128 * i);
            if (g_DeviceLink.Blocks().Await(timeoutMs) != BlockWait::Acknowledged) return i;
        }
        return count;
    }

    testutil::LinkedBoard link_;
    testutil::BoardSim* sim_ = nullptr;
    std::string expect_;
};

std::string Crc32Of(const std::vector<std::uint8_t>& image) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", Crc32(image.data() + 8, image.size() - 8));
    return crc;
}

TEST_F(Board, WholeImageArrivesByteForByteWithoutHeapAllocation) {
    std::vector<std::uint8_t> image = testutil::MakeImage(0, kImageBytes);
    image.resize(8 + 536 * 128, 0xFF);  // the last block is sent whole, as from the resource
    Connect({"--expect", ExpectFile(image, 8 + kImageBytes), "--exit-after", "536"});
    const unsigned long beepsBefore = platform::BeepCount(MB_ICONEXCLAMATION);

    testutil::g_allocations.store(0);
    testutil::g_countAllocations.store(true);
    const int acknowledged = Send(image, 536, 2000);
    testutil::g_countAllocations.store(false);

    EXPECT_EQ(acknowledged, 536);
    EXPECT_EQ(testutil::g_allocations.load(), 0u);
    int status = -1;
    std::string summary = sim_->Finish(&status);
    // By now the worker has long finished with the last acknowledgement and its beep.
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - beepsBefore, 536u);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", Crc32(image.data() + 8, kImageBytes));
    EXPECT_EQ(status, 0) << summary;
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find(std::string("crc32=") + crc), std::string::npos) << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
}

// The session's query ends once both replies are stored, whatever they say: a board whose texts
// are the link's own placeholders has answered too.
TEST_F(Board, VersionAndSerialAreLearnt) {
    const std::vector<std::string> boards[] = {
        {"--version", "V4.01", "--serial", "87654321", "--noise", "--split"},
        {"--version", "0.00", "--serial", "XXXXXX"},
    };
    for (const std::vector<std::string>& args : boards) {
        SCOPED_TRACE(args[1]);
        Connect(args);
        const DWORD start = GetTickCount();
        const BoardAnswer answer = link_.session.Query(ReplyWait::UntilAnswered, nullptr);
        RecordProperty("answered_ms_" + args[1], static_cast<int>(GetTickCount() - start));
        EXPECT_TRUE(answer.version);
        EXPECT_TRUE(answer.serial);
        char version[32];
        char serial[32];
        g_DeviceLink.GetVersion(version, sizeof version);
        g_DeviceLink.GetSerial(serial, sizeof serial);
        EXPECT_EQ(version, args[1]);
        EXPECT_EQ(serial, args[3]);
        EXPECT_TRUE(link_.Disconnect());
    }
}

// Faults end in a clean time-out at the right block, never in a false acknowledgement.
TEST_F(Board, SilentBoardTimesOutAtTheBlockItStopsAt) {
    Connect({"--stop-at", "5"});
    auto image = testutil::MakeImage(0, 20 * 128);
    EXPECT_EQ(Send(image, 20, 300), 5);
}

TEST_F(Board, CorruptAcknowledgementIsDropped) {
    Connect({"--bad-check", "3"});
    auto image = testutil::MakeImage(0, 20 * 128);
    EXPECT_EQ(Send(image, 20, 300), 3);
    // Block 3 sent again is acknowledged: the link read past the corrupt reply and goes on.
    g_DeviceLink.SendSector(64 * 3, image.data() + 8 + 128 * 3);
    EXPECT_EQ(g_DeviceLink.Blocks().Await(2000), BlockWait::Acknowledged);
}

TEST_F(Board, HangUpMidTransferTimesOut) {
    Connect({"--hangup-at", "4"});
    auto image = testutil::MakeImage(0, 20 * 128);
    EXPECT_EQ(Send(image, 20, 300), 4);
    int status = -1;
    EXPECT_NE(sim_->Finish(&status).find("hung-up"), std::string::npos);
    // The worker carries on against the dead line until it is told to stop. A pause, not a
    // wait: nothing shows its passes over the dead line.
    Sleep(30);
}

// A bench: the first board leaves once its last block is acknowledged, the line stays silent, and
// the next board answers with the next serial and takes the image from a clean start.
TEST_F(Board, BenchBoardsAnswerInTurnWithSilenceBetween) {
    const auto image = testutil::MakeImage(0, 4 * 128);
    Connect({"--expect", ExpectFile(image, image.size()), "--boards", "2", "--swap-after", "300",
             "--serial", "0099"});
    auto serial = [] {
        char text[32];
        g_DeviceLink.GetSerial(text, sizeof text);
        return std::string(text);
    };
    ASSERT_TRUE(link_.session.Query(ReplyWait::UntilAnswered, nullptr).serial);
    EXPECT_EQ(serial(), "0099");
    ASSERT_EQ(Send(image, 3, 2000), 3);

    // From before the last block leaves: whatever the host's delays, the silence is inside this.
    const auto sent = std::chrono::steady_clock::now();
    g_DeviceLink.SendSector(64 * 3, image.data() + 8 + 128 * 3);
    ASSERT_EQ(g_DeviceLink.Blocks().Await(2000), BlockWait::Acknowledged);
    const unsigned serials = g_DeviceLink.SerialReplies();
    const bool answered = testutil::WaitUntil([&] {
        const unsigned versions = g_DeviceLink.VersionReplies();
        g_DeviceLink.SendCommand(0x01, nullptr, 0);
        testutil::WaitUntil([&] { return g_DeviceLink.VersionReplies() != versions; }, 50);
        return g_DeviceLink.SerialReplies() != serials;
    });
    ASSERT_TRUE(answered);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
    EXPECT_EQ(serial(), "0100");  // counted up, its width kept
    EXPECT_EQ(Send(image, 4, 2000), 4);

    const std::string summary = Summary(0);
    for (const char* board : {"board=1 serial=0099 ", "board=2 serial=0100 "}) {
        const std::size_t at = summary.find(board);
        ASSERT_NE(at, std::string::npos) << summary;
        const std::string line = summary.substr(at, summary.find('\n', at) - at);
        EXPECT_NE(line.find("blocks=4 gaps=0 repeats=0 crc32=" + Crc32Of(image) + " expect=match"),
                  std::string::npos)
            << line;
        EXPECT_EQ(line.find("ready_ms=-1"), std::string::npos) << line;
        EXPECT_NE(line.find(" attempts=1"), std::string::npos) << line;
    }
    EXPECT_NE(summary.find("\nboardsim: blocks=4 "), std::string::npos) << summary;
}

// The faults are the first two transfers', each counted from its own block 0: both stop at
// block 2, the stopped board still answers the version query, and the third transfer starts the
// image over and completes.
TEST_F(Board, FaultsPlayOnlyOnTheFirstAttempts) {
    const auto image = testutil::MakeImage(0, 4 * 128);
    Connect(
        {"--expect", ExpectFile(image, image.size()), "--stop-at", "2", "--fault-attempts", "2"});
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_EQ(Send(image, 4, 2000), 2) << attempt;
        g_DeviceLink.EndTransfer();
        EXPECT_TRUE(link_.session.Query(ReplyWait::UntilAnswered, nullptr).serial) << attempt;
    }
    EXPECT_EQ(Send(image, 4, 2000), 4);
    EXPECT_NE(Summary(0).find("blocks=10 first=0x0 last=0xC0 gaps=0 repeats=0 crc32=" +
                              Crc32Of(image) + " expect=match"),
              std::string::npos);
}

TEST_F(Board, AwkwardButHonestRepliesAllArrive) {
    Connect({"--noise", "--split", "--coalesce", "3", "--ack-delay", "20"});
    auto image = testutil::MakeImage(0, 12 * 128);
    EXPECT_EQ(Send(image, 12, 2000), 12);
}

}  // namespace
