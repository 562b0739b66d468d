// A trace of what crossed the line and what was decided about it, one text line per event, for
// the field (--trace FILE). Events come from any thread (the link worker, the transfer, the bus
// checks) and from the signal handler: each is a small fixed-size record put in a fixed ring
// without a lock or an allocation, and a thread of the trace's own formats and writes them. A
// full ring drops the event and counts it. With no trace open an emit is one relaxed load.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/wintypes.h"

namespace platform {

// What an event says; `value` and `word` mean what each kind's comment says. Every `word` is a
// string literal: only its address travels.
enum class TraceKind : std::uint16_t {
    PortOpened,     // text: the port's name
    PortRule,       // text: the rule that chose it, and why
    LineSettings,   // value: baud, data bits, parity (0 none), stop bits, the wire baud
    PortFailed,     // word: what failed (the open, the line settings)
    Write,          // value: command, length, ticket, started (us), written; word: "fresh" or null
    Read,           // value: command, length, when its bytes were read (us), check good
    BoardText,      // word: "version" or "serial"; text: what the board sent
    TransferBegin,  // value: the wire baud the gate judges by (0: learnt from round trips)
    Ack,            // word: the gate's decision; value: round trip, earliest, ticket (us)
    Block,          // value: index, count; word: what its wait came to
    Noise,          // value: bytes the decoder dropped in one read
    SignalCaught,   // value: the signal's number
    SignalHeld,     // value: the signal's number
    Bus,            // word: the call; text: what it came to
    Verdict,        // word: the outcome; value: sent, acknowledged, blocks; text: the reason
};

inline constexpr std::size_t kTraceText = 64;
inline constexpr std::size_t kTraceValues = 5;

struct TraceEvent {
    LONGLONG us;  // QueryPerformanceCounter's clock, as the gate's
    TraceKind kind;
    std::uint16_t textLength;
    bool textCut;  // the text was longer than kTraceText
    LONGLONG value[kTraceValues];
    const char* word;
    char text[kTraceText];
};
static_assert(sizeof(TraceEvent) == 128);

// A bounded queue of events for many producers and one consumer. Push and Pop take no lock and
// allocate nothing (the cells are made with the ring); a cell's sequence number says whose turn
// it is, so a consumer never reads an event half-written. Push is safe in a signal handler.
class TraceRing {
public:
    explicit TraceRing(std::size_t capacity);  // a power of two
    TraceRing(const TraceRing&) = delete;
    TraceRing& operator=(const TraceRing&) = delete;

    // False, and the event counted as dropped, when the ring is full.
    bool Push(const TraceEvent& event);
    // The consumer's: the oldest event, or false when none is ready.
    bool Pop(TraceEvent* out);
    std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Empties the ring and its count; only with no producer and no consumer running.
    void Reset();

private:
    struct Cell {
        std::atomic<std::size_t> turn;
        TraceEvent event;
    };
    std::unique_ptr<Cell[]> cells_;
    std::size_t mask_;
    alignas(64) std::atomic<std::size_t> head_{0};  // the next cell a producer claims
    alignas(64) std::size_t tail_ = 0;              // the consumer's next
    std::atomic<std::uint64_t> dropped_{0};
};

namespace trace_detail {
extern std::atomic<bool> g_open;
void Emit(TraceKind kind, const LONGLONG* values, std::size_t count, const char* word,
          std::string_view text, LONGLONG us);
}  // namespace trace_detail

// Opens `path` for the trace (a regular file only, created 0644 and truncated) and starts its
// writer. `program` prefixes the one line said on standard error if the trace cannot be
// written. False with the reason in `error`; nothing is traced then.
bool OpenTrace(const std::string& path, const char* program, std::string* error);
// Everything emitted so far is written, the last line says how many events were dropped, and
// the file is closed. On every way out of the program; again, or with no trace, does nothing.
void CloseTrace();

inline bool Tracing() {
    return trace_detail::g_open.load(std::memory_order_relaxed);
}

// An event now (or at `us`, when the caller has the moment already).
inline void Trace(TraceKind kind, std::initializer_list<LONGLONG> values,
                  const char* word = nullptr) {
    if (!Tracing()) [[likely]]
        return;
    trace_detail::Emit(kind, values.begin(), values.size(), word, {}, -1);
}
inline void TraceAt(LONGLONG us, TraceKind kind, std::initializer_list<LONGLONG> values,
                    const char* word = nullptr) {
    if (!Tracing()) [[likely]]
        return;
    trace_detail::Emit(kind, values.begin(), values.size(), word, {}, us);
}
// With a text, cut to kTraceText bytes; escaped for a person when it is written.
inline void TraceText(TraceKind kind, std::string_view text, const char* word = nullptr,
                      std::initializer_list<LONGLONG> values = {}) {
    if (!Tracing()) [[likely]]
        return;
    trace_detail::Emit(kind, values.begin(), values.size(), word, text, -1);
}

// The line an event is written as, without its newline (for the writer and the tests).
std::string FormatTraceEvent(const TraceEvent& event);

}  // namespace platform
