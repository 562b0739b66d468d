#include "platform/trace.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/regular_file.h"
#include "platform/text.h"
#include "platform/wincore.h"

namespace platform {

TraceRing::TraceRing(std::size_t capacity) : cells_(new Cell[capacity]), mask_(capacity - 1) {
    Reset();
}

void TraceRing::Reset() {
    for (std::size_t i = 0; i <= mask_; ++i) cells_[i].turn.store(i, std::memory_order_relaxed);
    head_.store(0, std::memory_order_relaxed);
    tail_ = 0;
    dropped_.store(0, std::memory_order_relaxed);
}

bool TraceRing::Push(const TraceEvent& event) {
    std::size_t position = head_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[position & mask_];
        const std::size_t turn = cell.turn.load(std::memory_order_acquire);
        const auto lag = static_cast<std::ptrdiff_t>(turn - position);
        if (lag == 0) {
            // The cell is free for this position: claim it, or learn who did.
            if (head_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                cell.event = event;
                cell.turn.store(position + 1, std::memory_order_release);
                return true;
            }
        } else if (lag < 0) {
            // The consumer has not yet taken what was put here a lap ago: full.
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            position = head_.load(std::memory_order_relaxed);
        }
    }
}

bool TraceRing::Pop(TraceEvent* out) {
    Cell& cell = cells_[tail_ & mask_];
    if (cell.turn.load(std::memory_order_acquire) != tail_ + 1) return false;
    *out = cell.event;
    cell.turn.store(tail_ + mask_ + 1, std::memory_order_release);
    ++tail_;
    return true;
}

namespace {

// 4096 events: at full speed a block makes four, and the writer empties the ring every 10 ms.
constexpr std::size_t kRingEvents = 4096;
constexpr auto kWriterPause = std::chrono::milliseconds(10);

const char* SignalName(LONGLONG number) {
    switch (number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        case SIGTSTP:
            return "SIGTSTP";
        case SIGUSR1:
            return "SIGUSR1";
        default:
            return "signal";
    }
}

// The ring is made once, with the program, so opening a trace allocates none of it later.
TraceRing& Ring() {
    static TraceRing ring(kRingEvents);
    return ring;
}
[[maybe_unused]] TraceRing& g_ringAtLoad = Ring();

// The writer's state; the lock guards only its start, its stop and its pause.
struct Writer {
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    bool stopping = false;
    int fd = -1;
    std::string path;
    std::string program;
    bool failed = false;  // a write failed: said once, and nothing more is written
    std::uint64_t droppedSaid = 0;
};
Writer* g_writer = nullptr;
std::mutex g_openLock;

void WriteOut(Writer& w, const std::string& text) {
    if (w.failed) return;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(w.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            w.failed = true;
            const std::string said = w.program + ": --trace " + EscapeText(w.path) + ": " +
                                     std::strerror(err) + "; the trace stops here\n";
            [[maybe_unused]] const ssize_t ignored =
                ::write(STDERR_FILENO, said.data(), said.size());
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

LONGLONG NowUs() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::string DroppedLine(std::uint64_t total, std::uint64_t since) {
    char line[96];
    std::snprintf(line, sizeof line, "%10lld dropped events=%llu total=%llu\n",
                  static_cast<long long>(NowUs()), static_cast<unsigned long long>(since),
                  static_cast<unsigned long long>(total));
    return line;
}

// Takes what the ring holds, formatted, and says when its drop count has grown.
void Drain(Writer& w, std::string* out) {
    TraceRing& ring = Ring();
    TraceEvent event;
    while (ring.Pop(&event)) {
        *out += FormatTraceEvent(event);
        *out += '\n';
    }
    const std::uint64_t dropped = ring.Dropped();
    if (dropped != w.droppedSaid) {
        *out += DroppedLine(dropped, dropped - w.droppedSaid);
        w.droppedSaid = dropped;
    }
}

void RunWriter(Writer* w) {
    std::string text;
    text.reserve(1 << 16);
    std::unique_lock guard(w->lock);
    for (;;) {
        const bool last = w->stopping;
        guard.unlock();
        text.clear();
        Drain(*w, &text);
        if (!text.empty()) WriteOut(*w, text);
        guard.lock();
        if (last) return;
        w->wake.wait_for(guard, kWriterPause, [w] { return w->stopping; });
    }
}

void CloseAtExit() {
    CloseTrace();
}

}  // namespace

namespace trace_detail {
std::atomic<bool> g_open{false};

void Emit(TraceKind kind, const LONGLONG* values, std::size_t count, const char* word,
          std::string_view text, LONGLONG us) {
    TraceEvent event;
    event.us = us >= 0 ? us : NowUs();
    event.kind = kind;
    event.word = word;
    for (std::size_t i = 0; i < kTraceValues; ++i) event.value[i] = i < count ? values[i] : 0;
    const std::size_t n = std::min(text.size(), kTraceText);
    if (n != 0) std::memcpy(event.text, text.data(), n);  // an empty view may hold no pointer
    event.textLength = static_cast<std::uint16_t>(n);
    event.textCut = text.size() > kTraceText;
    Ring().Push(event);
}
}  // namespace trace_detail

bool OpenTrace(const std::string& path, const char* program, std::string* error) {
    std::lock_guard opening(g_openLock);
    if (g_writer != nullptr) {
        *error = "a trace is open already";
        return false;
    }
    const int fd = OpenRegularFile(path, FileStart::Truncate, "the trace", error);
    if (fd < 0) return false;
    auto* w = new Writer;
    w->fd = fd;
    w->path = path;
    w->program = program;
    Ring().Reset();
    char first[128];
    std::snprintf(first, sizeof first, "%10lld trace %s clock=monotonic-us\n",
                  static_cast<long long>(NowUs()), program);
    WriteOut(*w, first);
    w->thread = std::thread(RunWriter, w);
    g_writer = w;
    trace_detail::g_open.store(true);
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(CloseAtExit); });
    return true;
}

void CloseTrace() {
    std::lock_guard closing(g_openLock);
    Writer* w = g_writer;
    if (w == nullptr) return;
    trace_detail::g_open.store(false);
    {
        std::lock_guard guard(w->lock);
        w->stopping = true;
    }
    w->wake.notify_one();
    w->thread.join();
    char last[96];
    std::snprintf(last, sizeof last, "%10lld trace end dropped=%llu\n",
                  static_cast<long long>(NowUs()),
                  static_cast<unsigned long long>(Ring().Dropped()));
    WriteOut(*w, last);
    ::close(w->fd);
    g_writer = nullptr;
    delete w;
}

std::string FormatTraceEvent(const TraceEvent& e) {
    const LONGLONG* v = e.value;
    const auto ll = [](LONGLONG x) { return static_cast<long long>(x); };
    std::string text = EscapeText(std::string_view(e.text, e.textLength));
    if (e.textCut) text += "...";
    const char* word = e.word != nullptr ? e.word : "";
    char line[256];
    switch (e.kind) {
        case TraceKind::PortOpened:
            std::snprintf(line, sizeof line, "port opened name=%s", text.c_str());
            break;
        case TraceKind::PortRule:
            std::snprintf(line, sizeof line, "port rule=%s", text.c_str());
            break;
        case TraceKind::LineSettings:
            std::snprintf(line, sizeof line,
                          "line baud=%lld bits=%lld parity=%s stop=%lld wire_baud=%lld", ll(v[0]),
                          ll(v[1]), v[2] == 0 ? "none" : "set", ll(v[3]), ll(v[4]));
            break;
        case TraceKind::PortFailed:
            std::snprintf(line, sizeof line, "port failed %s name=%s", word, text.c_str());
            break;
        case TraceKind::Write:
            std::snprintf(line, sizeof line,
                          "write cmd=0x%02llX len=%lld ticket=%lld started=%lld%s%s",
                          static_cast<unsigned long long>(v[0]), ll(v[1]), ll(v[2]), ll(v[3]),
                          v[4] != 0 ? "" : " failed", e.word != nullptr ? " fresh" : "");
            break;
        case TraceKind::Read:
            std::snprintf(line, sizeof line, "read cmd=0x%02llX len=%lld read_at=%lld check=%s",
                          static_cast<unsigned long long>(v[0]), ll(v[1]), ll(v[2]),
                          v[3] != 0 ? "good" : "bad");
            break;
        case TraceKind::BoardText:
            std::snprintf(line, sizeof line, "board %s \"%s\"", word, text.c_str());
            break;
        case TraceKind::TransferBegin:
            std::snprintf(line, sizeof line, "transfer begin wire_baud=%lld", ll(v[0]));
            break;
        case TraceKind::Ack:
            std::snprintf(line, sizeof line, "ack %s round_trip=%lld earliest=%lld ticket=%lld",
                          word, ll(v[0]), ll(v[1]), ll(v[2]));
            break;
        case TraceKind::Block:
            std::snprintf(line, sizeof line, "block %lld/%lld %s", ll(v[0]), ll(v[1]), word);
            break;
        case TraceKind::Noise:
            std::snprintf(line, sizeof line, "noise bytes=%lld", ll(v[0]));
            break;
        case TraceKind::SignalCaught:
        case TraceKind::SignalHeld:
            std::snprintf(line, sizeof line, "signal %s %s(%lld)",
                          e.kind == TraceKind::SignalHeld ? "held" : "caught", SignalName(v[0]),
                          ll(v[0]));
            break;
        case TraceKind::Bus:
            std::snprintf(line, sizeof line, "bus %s %s", word, text.c_str());
            break;
        case TraceKind::Verdict:
            std::snprintf(line, sizeof line,
                          "verdict %s sent=%lld acknowledged=%lld blocks=%lld \"%s\"", word,
                          ll(v[0]), ll(v[1]), ll(v[2]), text.c_str());
            break;
        default:
            std::snprintf(line, sizeof line, "event kind=%u", static_cast<unsigned>(e.kind));
            break;
    }
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%10lld ", ll(e.us));
    return stamp + std::string(line);
}

}  // namespace platform
