// The wire figures, each beside its bound, one line each:
//   1. the embedded image sent by RunTransfer (the path LOAD takes) to vantra-boardsim at 38400
//      baud, against the time the bytes exchanged need on the wire;
//   2. one block through the link (SendSector, worker, board, decoder, the block exchange's
//      wait) with the board at full speed: median and p99, beside the same frame and
//      acknowledgement written and read on the port directly, with no worker in between;
//   6. heap allocations on the protocol path during a 536-block exchange;
//   7. the embedded image by RunTransfer with the board at full speed, without and with a byte
//      trace (--trace) open, rounds interleaved.
// Figures, not pass/fail: run by tools/bench.sh (see README).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/device_link.h"
#include "link/frame_codec.h"
#include "platform/message_box.h"
#include "platform/resources.h"
#include "platform/trace.h"
#include "platform/winserial.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/pty_helpers.h"
#include "ui/res/vantra_resources.h"
#include "upgrade/firmware_transfer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSampleBlocks = 2000;
constexpr unsigned kAckBytes = 6;    // the board's acknowledgement frame
constexpr double kBitsPerByte = 10;  // 8N1

// Notes when each block's acknowledgement arrived (the transfer moves the bar right after it).
struct TimingView : ITransferView, IProgressSink {
    void EnableLoad(BOOL) override {}
    void ReportLastSystemError() override {}
    void SetPosition(int) override {
        if (count < kMaxBlocks) at[count++] = Clock::now();
    }
    static constexpr int kMaxBlocks = 1024;
    Clock::time_point at[kMaxBlocks];
    int count = 0;
};

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// Median and 99th percentile of `samples` (sorted in place).
void Percentiles(std::vector<double>& samples, double* median, double* p99) {
    std::sort(samples.begin(), samples.end());
    *median = samples[samples.size() / 2];
    *p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

std::size_t BlockFrame(std::uint32_t index, const BYTE* block, BYTE* out, std::size_t cap) {
    BYTE payload[4 + kBlockBytes] = {};
    const std::uint32_t address = 64 * index;
    payload[0] = static_cast<BYTE>(address);
    payload[1] = static_cast<BYTE>(address >> 8);
    payload[2] = static_cast<BYTE>(address >> 16);
    payload[3] = static_cast<BYTE>(address >> 24);
    std::memcpy(payload + 4, block, kBlockBytes);
    return EncodeFrame(0xFB, payload, sizeof payload, out, cap);
}

bool WholeImageAt38400() {
    platform::SetProgramResources(&VantraResources());
    FirmwareImage image{};
    if (!LoadFirmwareImage(kFirmwareResourceId, &image)) return false;
    const DWORD blocks = BlockCount(image);
    BYTE block[kBlockBytes] = {};
    BYTE frame[300];
    const std::size_t frameBytes = BlockFrame(0, block, frame, sizeof frame);

    testutil::LinkedBoard link;
    if (!link.Connect({"--baud", "38400"})) return false;
    static TimingView view;
    const Clock::time_point start = Clock::now();
    RunTransfer(&view, &view);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> gaps;  // from one acknowledgement to the next: one block's round trip
    for (int i = 1; i < view.count; ++i) gaps.push_back(Micros(view.at[i] - view.at[i - 1]));
    double median = 0, p99 = 0;
    if (!gaps.empty()) Percentiles(gaps, &median, &p99);
    const std::vector<std::u16string> shown = platform::TakeRecordedMessages();
    const bool complete = shown.size() == 1 && shown[0] == u"Transfer Complete.";

    const double bytes = static_cast<double>(blocks) * (frameBytes + kAckBytes);
    const double bound = bytes * kBitsPerByte / 38400;
    std::printf(
        "1. whole image at 38400 baud: %.2f s for %u blocks (%s); wire bound %.2f s "
        "(%.0f bytes); ratio %.3f; a block: median %.2f ms, p99 %.2f ms, wire %.2f ms\n",
        seconds, static_cast<unsigned>(blocks), complete ? "Transfer Complete." : "FAILED", bound,
        bytes, seconds / bound, median / 1000, p99 / 1000, bound / blocks * 1000);
    return complete;
}

bool BlockThroughLink() {
    auto image = testutil::MakeImage(0, 536 * kBlockBytes);
    testutil::LinkedBoard link;
    if (!link.Connect({})) return false;
    std::vector<double> samples;
    samples.reserve(kSampleBlocks);
    for (int i = 0; i < kSampleBlocks; ++i) {
        const int b = i % 536;
        const Clock::time_point start = Clock::now();
        g_DeviceLink.SendSector(static_cast<DWORD>(64 * b), image.data() + 8 + kBlockBytes * b);
        if (g_DeviceLink.Blocks().Await(2000) != BlockWait::Acknowledged) return false;
        samples.push_back(Micros(Clock::now() - start));
    }

    // The same exchange on the port directly: a read that returns with the first byte.
    link.Disconnect();
    testutil::BoardSim sim({"--baud", "0"});
    std::u16string name(sim.path.begin(), sim.path.end());
    HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 2000, 0, 0};
    SetCommTimeouts(port, &firstByte);
    std::vector<double> direct;
    direct.reserve(kSampleBlocks);
    BYTE frame[300];
    BYTE reply[64];
    for (int i = 0; i < kSampleBlocks; ++i) {
        const int b = i % 536;
        const Clock::time_point start = Clock::now();
        const std::size_t n =
            BlockFrame(b, image.data() + 8 + kBlockBytes * b, frame, sizeof frame);
        DWORD count = 0;
        WriteFile(port, frame, static_cast<DWORD>(n), &count, nullptr);
        for (DWORD got = 0; got < kAckBytes; got += count) {
            if (!ReadFile(port, reply + got, sizeof reply - got, &count, nullptr) || count == 0) {
                CloseHandle(port);
                return false;
            }
        }
        direct.push_back(Micros(Clock::now() - start));
    }
    CloseHandle(port);

    double median, p99, directMedian, directP99;
    Percentiles(samples, &median, &p99);
    Percentiles(direct, &directMedian, &directP99);
    std::printf(
        "2. one block through the link, board at full speed: median %.0f us, p99 %.0f us "
        "(%d blocks); bare exchange on the port: median %.0f us, p99 %.0f us\n",
        median, p99, kSampleBlocks, directMedian, directP99);
    return true;
}

bool AllocationsOnTheProtocolPath() {
    auto image = testutil::MakeImage(0, 536 * kBlockBytes);
    testutil::LinkedBoard link;
    if (!link.Connect({})) return false;
    testutil::g_allocations.store(0);
    testutil::g_countAllocations.store(true);
    bool acknowledged = true;
    for (int b = 0; b < 536 && acknowledged; ++b) {
        g_DeviceLink.SendSector(static_cast<DWORD>(64 * b), image.data() + 8 + kBlockBytes * b);
        acknowledged = g_DeviceLink.Blocks().Await(2000) == BlockWait::Acknowledged;
    }
    testutil::g_countAllocations.store(false);
    if (!acknowledged) return false;
    std::printf(
        "6. heap allocations on the protocol path, 536 blocks (encode, queue, wait, write, "
        "read, decode, dispatch, acknowledge): %lu; bound 0\n",
        testutil::g_allocations.load());
    return true;
}

// One full-speed transfer of the embedded image; its seconds, or a negative number on failure.
double FullSpeedTransfer() {
    testutil::LinkedBoard link;
    if (!link.Connect({})) return -1;
    TimingView view;
    const Clock::time_point start = Clock::now();
    RunTransfer(&view, &view);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::vector<std::u16string> shown = platform::TakeRecordedMessages();
    return shown.size() == 1 && shown[0] == u"Transfer Complete." ? seconds : -1;
}

bool TransferWithTrace() {
    platform::SetProgramResources(&VantraResources());
    constexpr int kRounds = 9;
    const std::string file = testutil::TempPath("bench-trace");
    std::vector<double> plain, traced;
    for (int round = 0; round < kRounds; ++round) {
        plain.push_back(FullSpeedTransfer());
        std::string error;
        if (!platform::OpenTrace(file, "vantra_serial_bench", &error)) return false;
        traced.push_back(FullSpeedTransfer());
        platform::CloseTrace();
    }
    std::remove(file.c_str());
    for (const double s : plain)
        if (s < 0) return false;
    for (const double s : traced)
        if (s < 0) return false;
    double plainMedian, plainP99, tracedMedian, tracedP99;
    Percentiles(plain, &plainMedian, &plainP99);
    Percentiles(traced, &tracedMedian, &tracedP99);
    std::printf(
        "7. whole image, board at full speed: median %.3f s without a trace, %.3f s with "
        "--trace (%d rounds each, interleaved); ratio %.3f\n",
        plainMedian, tracedMedian, kRounds, tracedMedian / plainMedian);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // "--only N" runs one figure (1, 2, 6 or 7), for repeating a measurement.
    const std::string only = argc == 3 && std::strcmp(argv[1], "--only") == 0 ? argv[2] : "";
    bool ok = true;
    if (only.empty() || only == "1") ok = WholeImageAt38400() && ok;
    if (only.empty() || only == "2") ok = BlockThroughLink() && ok;
    if (only.empty() || only == "6") ok = AllocationsOnTheProtocolPath() && ok;
    if (only.empty() || only == "7") ok = TransferWithTrace() && ok;
    if (!ok) std::fprintf(stderr, "vantra_serial_bench: a figure could not be measured\n");
    return ok ? 0 : 1;
}
