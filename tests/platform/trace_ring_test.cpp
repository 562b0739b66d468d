// The trace's ring under several producers and one consumer, as the worker, the transfer and
// the bus-check threads fill it while the writer empties it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/trace.h"

namespace {

using platform::TraceEvent;
using platform::TraceRing;

// Every byte of the event depends on who sent it and its number: a torn copy shows.
TraceEvent Made(int producer, LONGLONG number) {
    TraceEvent e{};
    e.kind = platform::TraceKind::Noise;
    e.us = number;
    for (LONGLONG& v : e.value) v = producer * 1000003LL + number;
    for (char& c : e.text) c = static_cast<char>(producer * 31 + number);
    e.textLength = platform::kTraceText;
    return e;
}

bool Whole(const TraceEvent& e, int producer) {
    const TraceEvent want = Made(producer, e.us);
    for (std::size_t i = 0; i < platform::kTraceValues; ++i)
        if (e.value[i] != want.value[i]) return false;
    for (std::size_t i = 0; i < platform::kTraceText; ++i)
        if (e.text[i] != want.text[i]) return false;
    return true;
}

TEST(TraceRing, ProducersRaceOneConsumerAndEveryEventIsWholeOrCountedDropped) {
    constexpr int kProducers = 4;
    constexpr LONGLONG kEach = 20000;
    TraceRing ring(64);  // small, so it fills while the consumer runs
    std::atomic<long long> refused{0};
    std::atomic<int> running{kProducers};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (LONGLONG n = 0; n < kEach; ++n) {
                const TraceEvent e = Made(p, n);
                if (!ring.Push(e)) refused.fetch_add(1);
            }
            running.fetch_sub(1);
        });
    }
    std::vector<LONGLONG> last(kProducers, -1);
    long long taken = 0;
    long long torn = 0;
    long long outOfOrder = 0;
    TraceEvent e;
    for (;;) {
        const bool done = running.load() == 0;
        while (ring.Pop(&e)) {
            const int p = static_cast<int>(e.value[1] / 1000003LL);
            ASSERT_GE(p, 0);
            ASSERT_LT(p, kProducers);
            torn += !Whole(e, p);
            outOfOrder += e.us <= last[p];
            last[p] = e.us;
            ++taken;
        }
        if (done) break;
    }
    for (std::thread& t : producers) t.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(outOfOrder, 0);  // one producer's events keep their order
    EXPECT_EQ(static_cast<long long>(ring.Dropped()), refused.load());
    EXPECT_EQ(taken + refused.load(), kProducers * kEach);
}

TEST(TraceRing, FullRingDropsAndCountsThenTakesAgainOnceEmptied) {
    TraceRing ring(8);
    int accepted = 0;
    for (int n = 0; n < 11; ++n) accepted += ring.Push(Made(0, n));
    EXPECT_EQ(accepted, 8);
    EXPECT_EQ(ring.Dropped(), 3u);
    TraceEvent e;
    for (LONGLONG n = 0; n < 8; ++n) {
        ASSERT_TRUE(ring.Pop(&e));
        EXPECT_EQ(e.us, n);  // the oldest kept, the newest dropped
    }
    EXPECT_FALSE(ring.Pop(&e));
    EXPECT_TRUE(ring.Push(Made(0, 11)));
    ASSERT_TRUE(ring.Pop(&e));
    EXPECT_EQ(e.us, 11);
    EXPECT_EQ(ring.Dropped(), 3u);
}

}  // namespace
