// The transfer driven end to end against the simulated board, without a display.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/device_link.h"
#include "platform/message_box.h"
#include "platform/resources.h"
#include "platform/sound.h"
#include "platform/winreg.h"
#include "tests/support/pty_helpers.h"
#include "transport/link_worker.h"
#include "transport/port_discovery.h"
#include "transport/serial_transport.h"
#include "ui/res/vantra_resources.h"
#include "upgrade/firmware_transfer.h"

namespace {

// Stands in for the upgrade view: records what the transfer does to LOAD and the bar.
struct RecordingView : ITransferView, IProgressSink {
    void EnableLoad(BOOL enable) override { load.push_back(enable != FALSE); }
    void ReportLastSystemError() override {
        ++reports;
        ::ReportLastSystemError();
    }
    void SetPosition(int position) override { positions.push_back(position); }
    void OnBlockDone(DWORD index, DWORD count, bool acknowledged) override {
        blocks.push_back({index, count, acknowledged});
    }

    struct Block {
        DWORD index, count;
        bool acknowledged;
        bool operator==(const Block&) const = default;
    };
    std::vector<Block> blocks;
    std::vector<bool> load;
    std::vector<int> positions;
    int reports = 0;
};

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = platform::SetProgramResources(&VantraResources());
        platform::TakeRecordedMessages();
    }

    void Connect(std::vector<std::string> args) {
        args.insert(args.begin(), {"--expect", VANTRA_FIRMWARE_144_BIN});
        ASSERT_TRUE(link_.Connect(std::move(args)));
    }

    void TearDown() override {
        EXPECT_TRUE(link_.Disconnect());
        platform::SetProgramResources(previous_);
        platform::TakeRecordedMessages();
    }

    std::string Summary(int* status) { return link_.sim->Finish(status); }

    const platform::ResourceSet* previous_ = nullptr;
    testutil::LinkedBoard link_;
};

TEST_F(Transfer, WholeImageArrivesAndCompletes) {
    Connect({});
    RecordingView view;
    const unsigned long beeps = platform::BeepCount(MB_ICONEXCLAMATION);
    EXPECT_EQ(RunTransfer(&view, &view).outcome, TransferOutcome::Complete);

    EXPECT_EQ(view.load, (std::vector<bool>{false, true}));
    ASSERT_EQ(view.positions.size(), 536u);
    // The share acknowledged before each block; the last shows the whole.
    const std::pair<std::size_t, int> positions[] = {{0, 0},    {5, 0},    {267, 49},
                                                     {268, 50}, {534, 99}, {535, 100}};
    for (const auto& [block, position] : positions)
        EXPECT_EQ(view.positions[block], position) << "after block " << block;
    EXPECT_EQ(platform::TakeRecordedMessages(), std::vector<std::u16string>{u"Transfer Complete."});

    int status = -1;
    std::string summary = Summary(&status);
    // The beep follows the acknowledgement on the worker; by the board's summary it has sounded.
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION) - beeps, 536u);
    EXPECT_EQ(status, 0) << summary;
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
}

TEST_F(Transfer, SilentBoardFailsAtTheBlockAndLoadStartsAgainFromTheFirst) {
    Connect({"--stop-at", "10"});
    RecordingView view;
    EXPECT_EQ(RunTransfer(&view, &view).outcome, TransferOutcome::Failed);

    ASSERT_EQ(view.positions.size(), 10u);
    ASSERT_EQ(view.blocks.size(), 11u);
    EXPECT_EQ(view.blocks[9], (RecordingView::Block{9, 536, true}));
    EXPECT_EQ(view.blocks[10], (RecordingView::Block{10, 536, false}));
    EXPECT_EQ(view.positions.back(), 1);  // 9 * 100 / 536
    EXPECT_EQ(view.load, (std::vector<bool>{false, true}));
    EXPECT_EQ(platform::TakeRecordedMessages(),
              std::vector<std::u16string>{u"Transfer Failed. Sector did not write."});

    // Pressing LOAD again starts over at block 0, which the board now refuses as well.
    RunTransfer(&view, &view);
    EXPECT_EQ(view.positions.size(), 10u);
    EXPECT_EQ(platform::TakeRecordedMessages(),
              std::vector<std::u16string>{u"Transfer Failed. Sector did not write."});

    int status = -1;
    std::string summary = Summary(&status);
    // 11 blocks the first time (0..10), then block 0 again: received last, and a repeat.
    EXPECT_NE(summary.find("blocks=12 first=0x0 last=0x0 gaps=0 repeats=1"), std::string::npos)
        << summary;
}

TEST_F(Transfer, MissingImageIsReportedAndNothingIsSent) {
    const platform::ResourceSet empty = {nullptr, 0, nullptr, 0};
    platform::SetProgramResources(&empty);
    // No port and no worker: a queued frame would stay in the slot for us to see.
    BYTE frame[kTransmitSlotBytes];
    CSerialTransport::TakeFrame(frame, sizeof frame);

    RecordingView view;
    const TransferResult result = RunTransfer(&view, &view);
    EXPECT_EQ(result.outcome, TransferOutcome::NoImage);
    EXPECT_EQ(view.reports, 1);
    EXPECT_EQ(view.load, (std::vector<bool>{false, true}));
    EXPECT_TRUE(view.positions.empty());
    EXPECT_EQ(platform::TakeRecordedMessages(),
              std::vector<std::u16string>{
                  u"The specified resource type cannot be found in the image file."});
    EXPECT_EQ(result.reason, "The specified resource type cannot be found in the image file.");
    EXPECT_EQ(CSerialTransport::TakeFrame(frame, sizeof frame), 0u);
}

// A host's stop request ends the loop before the next block; the outcome shown is a failure,
// since the board holds part of an image.
TEST_F(Transfer, StopRequestEndsAfterTheBlockInFlight) {
    Connect({});
    struct StoppingView : RecordingView {
        void OnBlockDone(DWORD index, DWORD count, bool acknowledged) override {
            RecordingView::OnBlockDone(index, count, acknowledged);
            if (index == 4) stop.store(true);
        }
        std::atomic<bool> stop{false};
    } view;
    const TransferResult result = RunTransfer(&view, &view, &view.stop);
    EXPECT_EQ(result.outcome, TransferOutcome::Stopped);
    EXPECT_EQ(result.reason, kTransferFailed);  // the board holds part of an image
    EXPECT_EQ(view.blocks.size(), 5u);
    EXPECT_EQ(view.load, (std::vector<bool>{false, true}));
    EXPECT_EQ(platform::TakeRecordedMessages(),
              std::vector<std::u16string>{u"Transfer Failed. Sector did not write."});
    int status = -1;
    EXPECT_NE(Summary(&status).find("blocks=5 "), std::string::npos);
}

}  // namespace
