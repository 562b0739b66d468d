#include "cli/output_queue.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/host_signals.h"

namespace {

// A pipe never splits a write up to this size, whoever else writes to it.
constexpr std::size_t kBatchBytes = PIPE_BUF;

// Written by a writer each time its stream has nothing left in hand, for a flush to wake on.
struct WakePipe {
    WakePipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            readEnd = fds[0];
            writeEnd = fds[1];
        }
    }
    int readEnd = -1;
    int writeEnd = -1;
};
const WakePipe& Wake() {
    static const WakePipe pipe;
    return pipe;
}

// Writes all of it, blocking; false once the reader is gone.
bool WriteWhole(int fd, const char* p, std::size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Made non-blocking by a process sharing the descriptor: wait for room, drop nothing.
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, -1);
        } else {
            return false;
        }
    }
    return true;
}

struct Piece {
    std::string text;
    bool redraw;
};

class Stream {
public:
    explicit Stream(int fd) : fd_(fd) {}

    void Add(std::string text, bool redraw) {
        if (text.empty()) return;
        std::unique_lock<std::mutex> lock(mutex_);
        if (gone_) return;
        if (redraw && !queue_.empty() && queue_.back().redraw) {
            queue_.back().text = std::move(text);
        } else {
            queue_.push_back({std::move(text), redraw});
        }
        if (!started_) Start();
        if (!direct_) {
            ready_.notify_one();
            return;
        }
        while (!queue_.empty()) WriteBatch(lock);  // no thread to be had: as the caller goes
    }

    bool Idle() {
        std::lock_guard<std::mutex> lock(mutex_);
        return gone_ || (queue_.empty() && !writing_);
    }

private:
    // Under the lock, on the first text.
    void Start() {
        started_ = true;
        // Every signal blocked in the writer: handlers run on the threads they always ran on,
        // and with SIGTTOU blocked a write to the terminal from the background never stops the
        // process (the kernel lets it through).
        sigset_t all;
        sigset_t before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        try {
            // Detached, and the stream is never destroyed: a writer still blocked on a reader
            // that never reads must not hold up the program's end, nor outlive what it uses.
            std::thread([this] { Run(); }).detach();
        } catch (const std::system_error&) {
            direct_ = true;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return !queue_.empty(); });
            WriteBatch(lock);
        }
    }

    // Whole texts, as many as one unsplittable write takes, written with the lock let go (held
    // without a writer, which keeps callers in order).
    void WriteBatch(std::unique_lock<std::mutex>& lock) {
        batch_.clear();
        do {
            batch_ += queue_.front().text;
            queue_.pop_front();
        } while (!queue_.empty() && batch_.size() + queue_.front().text.size() <= kBatchBytes);
        writing_ = true;
        const bool direct = direct_;
        if (!direct) lock.unlock();
        const bool written = WriteWhole(fd_, batch_.data(), batch_.size());
        if (!direct) lock.lock();
        writing_ = false;
        if (!written) {
            gone_ = true;
            queue_.clear();
        }
        if (queue_.empty()) {
            const char byte = 0;
            [[maybe_unused]] const ssize_t n = ::write(Wake().writeEnd, &byte, 1);
        }
    }

    const int fd_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Piece> queue_;
    std::string batch_;  // the writer's, or the caller's under the lock
    bool started_ = false;
    bool direct_ = false;
    bool writing_ = false;
    bool gone_ = false;
};

// Never destroyed (see Start).
Stream* StreamOf(int fd) {
    static Stream* const out = new Stream(STDOUT_FILENO);
    static Stream* const err = new Stream(STDERR_FILENO);
    return fd == STDOUT_FILENO ? out : fd == STDERR_FILENO ? err : nullptr;
}

bool AllIdle() {
    return StreamOf(STDOUT_FILENO)->Idle() && StreamOf(STDERR_FILENO)->Idle();
}

bool IsEnding(int number) {
    return number == SIGINT || number == SIGTERM || number == SIGHUP || number == SIGQUIT;
}

enum class OnSignal { Return, GiveUpIfEnding };

bool WaitIdle(OnSignal mode) {
    const int wake = Wake().readEnd;
    const int signals = platform::CaughtSignalsDescriptor();
    for (;;) {
        char bytes[64];
        while (wake >= 0 && ::read(wake, bytes, sizeof bytes) > 0) {
        }
        if (AllIdle()) return true;
        if (mode == OnSignal::Return) {
            if (platform::CaughtSignalPending()) return false;
        } else {
            bool ending = false;
            platform::CaughtSignal caught;
            while (platform::TakeCaughtSignal(&caught)) ending = ending || IsEnding(caught.number);
            if (ending) return false;
        }
        pollfd fds[2] = {{wake, POLLIN, 0}, {signals, POLLIN, 0}};
        // Without a wake pipe (none could be made) it looks again every 10 ms.
        if (::poll(fds, 2, wake >= 0 ? -1 : 10) > 0 && (fds[1].revents & POLLIN) != 0 && mode == OnSignal::Return &&
            !platform::CaughtSignalPending()) {
            // Only the wake-up of a signal already taken: not to be woken by it again. A signal
            // that comes now is seen by the check above before the next sleep.
            while (::read(signals, bytes, sizeof bytes) > 0) {
            }
        }
    }
}

}  // namespace

void WriteAll(int fd, const std::string& text) {
    if (Stream* stream = StreamOf(fd)) {
        stream->Add(text, false);
    } else {
        WriteWhole(fd, text.data(), text.size());
    }
}

void RedrawLine(int fd, const std::string& text) {
    if (Stream* stream = StreamOf(fd)) {
        stream->Add(text, true);
    } else {
        WriteWhole(fd, text.data(), text.size());
    }
}

bool FlushOutput() {
    return WaitIdle(OnSignal::Return);
}

void FlushOutputAtExit() {
    WaitIdle(OnSignal::GiveUpIfEnding);
}
