// The simulated board: the frames it takes off the line, its answers (spoilt as the options
// ask), the blocks it keeps and the one line that sums them up.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "tools/boardsim/options.h"

namespace boardsim {

// Wall-clock milliseconds, so a test can line our events up with its own clock.
long long NowMs();

class Board {
public:
    // Answers go to `master`, the simulator's end of the pty.
    Board(const Options& o, int master) : o_(o), master_(master) {}

    // Bytes as they came off the line; each counts as received after its wire time.
    void Receive(const std::uint8_t* p, std::size_t n);

    bool finished() const { return finished_; }
    bool hungUp() const { return hungUp_; }

    // One line: what arrived, and whether it matches the expected image. True when it does (or
    // when nothing was expected).
    bool Summarise(FILE* out, bool portClosed) const;

private:
    using Clock = std::chrono::steady_clock;
    using Block = std::array<std::uint8_t, 128>;

    std::chrono::nanoseconds ByteTime() const;
    void Handle(std::uint8_t command, const std::uint8_t* payload, std::int32_t length);
    void ReplyVersion();
    void Reply(std::uint8_t command, const std::uint8_t* payload, std::size_t length,
               Shape shape = {});
    bool LoadExpected(std::vector<std::uint8_t>& image, std::uint32_t& start) const;
    bool Compare(const std::vector<std::uint8_t>& image, std::uint32_t start) const;

    const Options& o_;
    int master_;
    Clock::time_point lineFree_{};
    Clock::time_point answered_{};  // when the last answer was written, until the host replies
    std::map<std::uint32_t, Block> blocks_;
    unsigned long received_ = 0;
    unsigned long repeats_ = 0;
    long replies_ = 0;
    std::uint32_t firstAddress_ = 0;
    std::uint32_t lastAddress_ = 0;
    bool finished_ = false;
    bool hungUp_ = false;
};

}  // namespace boardsim
