// Round trips through a pty to the simulated board: one block through the whole link (encode,
// slot, worker, board, decoder, acknowledge event), the same exchange written and read
// directly with no worker in between, and a whole image at the real line speed.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "link/device_link.h"
#include "link/frame_codec.h"
#include "platform/message_box.h"
#include "platform/winreg.h"
#include "platform/winserial.h"
#include "tests/support/pty_helpers.h"
#include "transport/link_worker.h"
#include "transport/serial_transport.h"

namespace {

constexpr std::uint32_t kImageBytes = 68492;
constexpr int kBlocks = 536;

struct Link {
    explicit Link(const std::string& baud) {
        hive = testutil::TempPath("benchhive");
        sim = std::make_unique<testutil::BoardSim>(
            std::vector<std::string>{"--baud", baud, "--registry", hive});
        ::setenv("VANTRA_REGISTRY", hive.c_str(), 1);
        platform::SetRegistrySysfsRoot("/nonexistent-sysfs");
        transport = new CSerialTransport;
        thread = testutil::StartWorker();
        ResetEvent(g_DeviceLink.m_hBlockAck);
    }
    ~Link() {
        StopLinkWorker(thread, 2000);
        SetEvent(g_hTransportStop.load());
        delete transport;
        ::unsetenv("VANTRA_REGISTRY");
        std::remove(hive.c_str());
        platform::TakeRecordedMessages();
    }
    bool Block(int i, const std::uint8_t* bytes) {
        g_DeviceLink.SendSector(static_cast<DWORD>(64 * i), bytes);
        if (WaitForSingleObject(g_DeviceLink.m_hBlockAck, 2000) != WAIT_OBJECT_0) return false;
        ResetEvent(g_DeviceLink.m_hBlockAck);
        return true;
    }
    std::string hive;
    std::unique_ptr<testutil::BoardSim> sim;
    CSerialTransport* transport;
    HANDLE thread;
};

void BM_BlockRoundTripThroughLink(benchmark::State& state) {
    auto image = testutil::MakeImage(0, kImageBytes);
    Link link("0");
    int i = 0;
    for (auto _ : state) {
        if (!link.Block(i % kBlocks, image.data() + 8 + 128 * (i % kBlocks))) {
            state.SkipWithError("block not acknowledged");
            break;
        }
        ++i;
    }
}
BENCHMARK(BM_BlockRoundTripThroughLink)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// The lower bound for the link: the same frame and acknowledgement with a read that returns as
// soon as a byte arrives instead of the worker's polling.
void BM_BlockRoundTripDirect(benchmark::State& state) {
    auto image = testutil::MakeImage(0, kImageBytes);
    testutil::BoardSim sim({"--baud", "0"});
    std::u16string name(sim.path.begin(), sim.path.end());
    HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 2000, 0, 0};
    SetCommTimeouts(port, &firstByte);
    BYTE payload[132] = {};
    BYTE frame[300];
    BYTE reply[64];
    int i = 0;
    for (auto _ : state) {
        std::memcpy(payload + 4, image.data() + 8 + 128 * (i % kBlocks), 128);
        payload[0] = static_cast<BYTE>(64 * (i % kBlocks));
        payload[1] = static_cast<BYTE>((64 * (i % kBlocks)) >> 8);
        std::size_t n = EncodeFrame(0xFB, payload, sizeof payload, frame, sizeof frame);
        DWORD count = 0;
        WriteFile(port, frame, static_cast<DWORD>(n), &count, nullptr);
        DWORD got = 0;
        while (got < 6) {
            if (!ReadFile(port, reply + got, sizeof reply - got, &count, nullptr) || count == 0) {
                state.SkipWithError("no acknowledgement");
                break;
            }
            got += count;
        }
        ++i;
    }
    CloseHandle(port);
}
BENCHMARK(BM_BlockRoundTripDirect)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_WholeImageAt38400(benchmark::State& state) {
    auto image = testutil::MakeImage(0, kImageBytes);
    image.resize(8 + kBlocks * 128);
    for (auto _ : state) {
        Link link("38400");
        for (int i = 0; i < kBlocks; ++i) {
            if (!link.Block(i, image.data() + 8 + 128 * i)) {
                state.SkipWithError("block not acknowledged");
                break;
            }
        }
    }
    state.counters["wire_bound_s"] = kBlocks * (138 + 6) * 10.0 / 38400;
}
BENCHMARK(BM_WholeImageAt38400)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
