// The simulated board: the frames it takes off the line, its answers (spoilt as the options
// ask), the blocks it keeps and the one line that sums them up.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/boardsim/options.h"

namespace boardsim {

// Wall-clock milliseconds, so a test can line our events up with its own clock.
long long NowMs();

// The expected image file (start, length, bytes); false when it cannot be read whole.
bool LoadImage(const std::string& file, std::vector<std::uint8_t>& image, std::uint32_t& start);

// Who is on the line: one board of a bench, as it differs from the others.
struct Arrival {
    std::string serial;
    bool answersSerial = true;
    bool leaves = false;  // goes once the image's last block is acknowledged
    bool last = true;     // --exit-after is the last board's
};

class Board {
public:
    // Answers go to `master`, the simulator's end of the pty.
    Board(const Options& o, int master, Arrival arrival = {});

    // Bytes as they came off the line; each counts as received after its wire time. Nothing is
    // taken once the board has left.
    void Receive(const std::uint8_t* p, std::size_t n);

    bool finished() const { return finished_; }
    bool hungUp() const { return hungUp_; }
    bool left() const { return left_; }

    // One line: what arrived, and whether it matches the expected image. True when it does (or
    // when nothing was expected). `verdict` is what expect= says, when not this board's own.
    bool Summarise(FILE* out, bool portClosed, const bool* verdict = nullptr) const;
    // A bench's line for board `number`; true when its image matched.
    bool SummariseBoard(FILE* out, long number) const;

private:
    using Clock = std::chrono::steady_clock;
    using Block = std::array<std::uint8_t, 128>;

    std::chrono::nanoseconds ByteTime() const;
    void Handle(std::uint8_t command, const std::uint8_t* payload, std::int32_t length);
    void ReplyVersion();
    void Reply(std::uint8_t command, const std::uint8_t* payload, std::size_t length,
               Shape shape = {});
    bool Compare(const std::vector<std::uint8_t>& image, std::uint32_t start) const;
    bool FaultsOn() const;
    // Gaps, the checksum of the image as received and whether it matches.
    bool Tally(unsigned long& gaps, std::uint32_t& crc) const;

    const Options& o_;
    int master_;
    Arrival arrival_;
    const bool perTransfer_;
    // The expected image's first and last block addresses, when the image could be read.
    bool knowsImage_ = false;
    std::uint32_t imageStart_ = 0;
    std::uint32_t imageLast_ = 0;
    Clock::time_point lineFree_{};
    Clock::time_point answered_{};  // when the last answer was written, until the host replies
    std::map<std::uint32_t, Block> blocks_;
    unsigned long received_ = 0;
    unsigned long repeats_ = 0;
    long replies_ = 0;
    std::uint32_t firstAddress_ = 0;
    std::uint32_t lastAddress_ = 0;
    long attempts_ = 0;         // transfers begun (a block at the image's start address)
    long transferBlocks_ = 0;   // blocks received in the current transfer
    long long versionMs_ = -1;  // first version answer
    long long blockZeroMs_ = -1;
    bool finished_ = false;
    bool hungUp_ = false;
    bool left_ = false;
};

}  // namespace boardsim
