// Decoder throughput on the stream a transfer produces: 138-byte write-block frames with
// about one stuffed byte in sixteen, separated by six-byte acknowledgements.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "link/frame_codec.h"

namespace {

std::vector<std::uint8_t> TransferStream(int blocks) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> stream;
    std::uint8_t frame[MaxEncodedSize(132)];
    for (int i = 0; i < blocks; ++i) {
        std::uint8_t payload[132];
        for (auto& b : payload) b = static_cast<std::uint8_t>(rng() % 16 == 0 ? 0x11 : rng());
        std::size_t n = EncodeFrame(0xFB, payload, sizeof payload, frame, sizeof frame);
        stream.insert(stream.end(), frame, frame + n);
        const std::uint8_t ack[] = {0x11, 0x12, 0xFB, 0xFB, 0x11, 0x13};
        stream.insert(stream.end(), ack, ack + sizeof ack);
    }
    return stream;
}

void BM_DecodeTransferStream(benchmark::State& state) {
    const auto stream = TransferStream(536);
    auto decoder = std::make_unique<CFrameDecoder>();
    std::int64_t frames = 0;
    for (auto _ : state) {
        for (std::uint8_t b : stream) {
            decoder->Push(b);
            if (decoder->state == CFrameDecoder::Complete) {
                benchmark::DoNotOptimize(decoder->payload[0]);
                ++frames;
                decoder->Reset();
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeTransferStream);

}  // namespace

BENCHMARK_MAIN();
