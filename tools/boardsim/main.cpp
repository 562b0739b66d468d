// vantra-boardsim: plays the instrument's board on a pseudo-terminal so the utility can be
// tried and tested without hardware. Prints the terminal's path on the first line of stdout.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "link/frame_codec.h"
#include "upgrade/image_checksum.h"

CFrameDecoder g_FrameDecoder;

namespace {

using Clock = std::chrono::steady_clock;
using Block = std::array<std::uint8_t, 128>;

volatile sig_atomic_t g_stopRequested = 0;
void OnSignal(int) {
    g_stopRequested = 1;
}

// One fault on the acknowledgement of one block.
enum class Fault {
    BadCheck,
    Noise,
    LeadNoise,
    Split,
    Delay,
    Duplicate,
    DuplicateLate,
    Oversize,
    StrayVersion,
    Deaf
};

struct BlockFault {
    Fault kind;
    long ms;  // Delay, Deaf, and DuplicateLate's extra wait
};

struct Options {
    long baud = 38400;
    std::string registry;
    std::string expect;
    std::string version = "V4.01";
    std::string serial = "30417265";
    long stopAt = -1;                        // stop answering from this block on
    long badCheck = -1;                      // corrupt the check byte of this reply
    long hangupAt = -1;                      // hang up when this block arrives
    long ackDelayMs = 0;                     // hold each acknowledgement back
    long exitAfter = -1;                     // end after this many blocks
    long coalesce = 1;                       // frames per write
    std::multimap<long, BlockFault> faults;  // by block index
    bool noise = false;
    bool split = false;
    bool trace = false;        // timestamped events on stderr
    bool exitOnClose = false;  // end once the utility has let go of the port
};

// Wall-clock milliseconds, so a test can line our events up with its own clock.
long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Usage() {
    std::fprintf(stderr,
                 "usage: vantra-boardsim [options]\n"
                 "  --baud N          line speed, 8N1 (default 38400; 0 = as fast as possible)\n"
                 "  --registry FILE   write a hive listing this board's port as a Quatech card\n"
                 "  --expect FILE     firmware image (start, length, bytes) to compare against\n"
                 "  --version TEXT    version reply (default V4.01)\n"
                 "  --serial TEXT     serial-number reply (default 30417265)\n"
                 "  --exit-after N    end after N blocks have been received\n"
                 "  --exit-on-close   end when the utility closes the port\n"
                 "  --trace           timestamped events on stderr (frames, port open/closed,\n"
                 "                    turnaround: us from an answer to the next bytes in)\n"
                 "faults:\n"
                 "  --stop-at K       do not answer block K or any later one\n"
                 "  --bad-check K     corrupt the check byte of reply K (counting from 0)\n"
                 "  --hangup-at K     hang up when block K arrives\n"
                 "  --ack-delay MS    delay every block acknowledgement\n"
                 "  --noise           noise bytes between frames\n"
                 "  --split           send replies one byte per write\n"
                 "  --coalesce N      send each reply with N-1 further frames in one write\n"
                 "  --fault KIND:K    on block K's acknowledgement (repeatable); KIND is one of\n"
                 "                    bad-check, noise (bytes around it, 0x11 among them),\n"
                 "                    lead-noise (noise ending in a stray 0x11, which drops it),\n"
                 "                    split (one byte per write), duplicate (sent twice),\n"
                 "                    oversize (a 9000-byte frame before it), delay (held\n"
                 "                    back: delay:K:MS), duplicate-late (the copy in its own\n"
                 "                    write, at line speed after the first; duplicate-late:K:MS\n"
                 "                    MS later still), stray-version (a version reply after it),\n"
                 "                    deaf (after it, read nothing for a while: deaf:K:MS)\n");
}

// "KIND:K", "delay:K:MS", "deaf:K:MS" or "duplicate-late:K[:MS]".
bool ParseFault(const std::string& text, Options& o) {
    static const std::map<std::string, Fault> kKinds = {{"bad-check", Fault::BadCheck},
                                                        {"noise", Fault::Noise},
                                                        {"lead-noise", Fault::LeadNoise},
                                                        {"split", Fault::Split},
                                                        {"delay", Fault::Delay},
                                                        {"duplicate", Fault::Duplicate},
                                                        {"oversize", Fault::Oversize},
                                                        {"duplicate-late", Fault::DuplicateLate},
                                                        {"stray-version", Fault::StrayVersion},
                                                        {"deaf", Fault::Deaf}};
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    auto kind = kKinds.find(text.substr(0, colon));
    if (kind == kKinds.end()) return false;
    char* end = nullptr;
    errno = 0;
    const long block = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (errno != 0 || end == text.c_str() + colon + 1 || block < 0) return false;
    long ms = 0;
    const bool optionalMs = kind->second == Fault::DuplicateLate && *end == ':';
    if (kind->second == Fault::Delay || kind->second == Fault::Deaf || optionalMs) {
        if (*end != ':') return false;
        const char* msText = end + 1;
        ms = std::strtol(msText, &end, 10);
        if (errno != 0 || end == msText || ms < 0) return false;
    }
    if (*end != 0) return false;
    o.faults.emplace(block, BlockFault{kind->second, ms});
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        auto number = [&](long& out) {
            std::string s;
            if (!next(s)) return false;
            char* end = nullptr;
            errno = 0;
            out = std::strtol(s.c_str(), &end, 10);
            return errno == 0 && end != s.c_str() && *end == 0 && out >= 0;
        };
        bool ok = true;
        if (a == "--baud")
            ok = number(o.baud);
        else if (a == "--registry")
            ok = next(o.registry);
        else if (a == "--expect")
            ok = next(o.expect);
        else if (a == "--version")
            ok = next(o.version);
        else if (a == "--serial")
            ok = next(o.serial);
        else if (a == "--exit-after")
            ok = number(o.exitAfter);
        else if (a == "--stop-at")
            ok = number(o.stopAt);
        else if (a == "--bad-check")
            ok = number(o.badCheck);
        else if (a == "--hangup-at")
            ok = number(o.hangupAt);
        else if (a == "--ack-delay")
            ok = number(o.ackDelayMs);
        else if (a == "--coalesce")
            ok = number(o.coalesce) && o.coalesce >= 1;
        else if (a == "--fault") {
            std::string f;
            ok = next(f) && ParseFault(f, o);
        } else if (a == "--noise")
            o.noise = true;
        else if (a == "--trace")
            o.trace = true;
        else if (a == "--exit-on-close")
            o.exitOnClose = true;
        else if (a == "--split")
            o.split = true;
        else if (a == "--help")
            return false;
        else
            ok = false;
        if (!ok) return false;
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// How one reply is to be spoilt, on top of the options that apply to every reply.
struct Shape {
    bool corrupt = false;
    bool noise = false;
    bool leadNoise = false;
    bool split = false;
    bool duplicate = false;
    bool duplicateLate = false;
    long lateMs = 0;  // beyond the copy's own wire time
    bool oversize = false;
};

class Board {
public:
    Board(const Options& o, int master) : o_(o), master_(master) {}

    // Bytes as they came off the line; each counts as received after its wire time.
    void Receive(const std::uint8_t* p, std::size_t n) {
        const auto now = Clock::now();
        if (lineFree_ < now) lineFree_ = now;
        if (o_.trace && answered_ != Clock::time_point{}) {
            // The host's turnaround, on this side's clock and free of its own pacing: from our
            // answer leaving to the first bytes of what the host sent after it.
            std::fprintf(stderr, "trace %lld turnaround %lld\n", NowMs(),
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::microseconds>(now - answered_)
                                 .count()));
            answered_ = {};
        }
        for (std::size_t i = 0; i < n && !finished_; ++i) {
            lineFree_ += ByteTime();
            g_FrameDecoder.Push(p[i]);
            if (g_FrameDecoder.state != CFrameDecoder::Complete) continue;
            if (o_.baud > 0) std::this_thread::sleep_until(lineFree_);
            Handle(g_FrameDecoder.command, g_FrameDecoder.payload, g_FrameDecoder.length);
            g_FrameDecoder.Reset();
        }
    }

    bool finished() const { return finished_; }
    bool hungUp() const { return hungUp_; }

    // One line: what arrived, and whether it matches the expected image. True when it does (or
    // when nothing was expected).
    bool Summarise(FILE* out, bool portClosed) const {
        std::vector<std::uint8_t> image;
        unsigned long gaps = 0;
        std::uint32_t previous = 0;
        bool firstBlock = true;
        for (const auto& [address, data] : blocks_) {
            if (!firstBlock && address - previous > 64) gaps += (address - previous) / 64 - 1;
            previous = address;
            firstBlock = false;
            image.insert(image.end(), data.begin(), data.end());
        }
        bool match = true;
        std::string verdict;
        if (!o_.expect.empty()) {
            std::vector<std::uint8_t> expected;
            std::uint32_t start = 0;
            match = LoadExpected(expected, start) && Compare(expected, start);
            if (image.size() > expected.size()) image.resize(expected.size());
            verdict = match ? " expect=match" : " expect=MISMATCH";
        }
        std::fprintf(out,
                     "boardsim: blocks=%lu first=0x%X last=0x%X gaps=%lu repeats=%lu "
                     "crc32=%08X%s%s%s\n",
                     received_, firstAddress_, lastAddress_, gaps, repeats_,
                     Crc32(image.data(), image.size()), verdict.c_str(), hungUp_ ? " hung-up" : "",
                     portClosed ? " port-closed" : "");
        std::fflush(out);
        return match;
    }

private:
    std::chrono::nanoseconds ByteTime() const {
        // 8N1: ten bit times a byte.
        return o_.baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / o_.baud)
                           : std::chrono::nanoseconds(0);
    }

    void Handle(std::uint8_t command, const std::uint8_t* payload, std::int32_t length) {
        if (o_.trace) {
            std::fprintf(stderr, "trace %lld frame %02X %lu\n", NowMs(), command, received_);
        }
        switch (command) {
            case 0x01:
                ReplyVersion();
                break;
            case 0x02:
                Reply(0x02, reinterpret_cast<const std::uint8_t*>(o_.serial.c_str()),
                      o_.serial.size() + 1);
                break;
            case 0xFB: {
                if (length < 132) return;  // too short to be a block: ignored, as a board would
                const long index = static_cast<long>(received_);
                if (o_.hangupAt >= 0 && index == o_.hangupAt) {
                    hungUp_ = true;
                    finished_ = true;
                    return;
                }
                const std::uint32_t address = payload[0] | (payload[1] << 8) | (payload[2] << 16) |
                                              (static_cast<std::uint32_t>(payload[3]) << 24);
                Block block;
                std::memcpy(block.data(), payload + 4, block.size());
                if (blocks_.count(address)) ++repeats_;
                blocks_[address] = block;
                if (received_ == 0) firstAddress_ = address;
                lastAddress_ = address;
                ++received_;
                if (o_.stopAt < 0 || index < o_.stopAt) {
                    Shape shape;
                    bool strayVersion = false;
                    long delayMs = o_.ackDelayMs;
                    long deafMs = 0;
                    auto [from, to] = o_.faults.equal_range(index);
                    for (auto it = from; it != to; ++it) {
                        const BlockFault& f = it->second;
                        shape.corrupt |= f.kind == Fault::BadCheck;
                        shape.noise |= f.kind == Fault::Noise;
                        shape.leadNoise |= f.kind == Fault::LeadNoise;
                        shape.split |= f.kind == Fault::Split;
                        shape.duplicate |= f.kind == Fault::Duplicate;
                        shape.oversize |= f.kind == Fault::Oversize;
                        if (f.kind == Fault::DuplicateLate) {
                            shape.duplicateLate = true;
                            shape.lateMs = f.ms;
                        }
                        strayVersion |= f.kind == Fault::StrayVersion;
                        if (f.kind == Fault::Delay) delayMs += f.ms;
                        if (f.kind == Fault::Deaf) deafMs += f.ms;
                    }
                    if (delayMs > 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                    Reply(0xFB, nullptr, 0, shape);
                    if (strayVersion) ReplyVersion();
                    // What the host sends meanwhile waits in the line, as behind a board that
                    // is busy or a cable that came loose and back.
                    if (deafMs > 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(deafMs));
                }
                if (o_.exitAfter >= 0 && static_cast<long>(received_) >= o_.exitAfter)
                    finished_ = true;
                break;
            }
            default:
                break;  // unknown commands get no answer
        }
    }

    void ReplyVersion() {
        Reply(0x01, reinterpret_cast<const std::uint8_t*>(o_.version.c_str()),
              o_.version.size() + 1);
    }

    // A frame with the board's real check byte: the encoder is given payload + check and its
    // own trailing 0x00 is taken out again.
    static std::size_t BuildFrame(std::uint8_t command, const std::uint8_t* payload,
                                  std::size_t length, bool corrupt, std::uint8_t* out,
                                  std::size_t cap) {
        std::uint8_t body[600];
        if (length + 1 > sizeof body) return 0;
        std::uint8_t check = command;
        for (std::size_t i = 0; i < length; ++i) {
            body[i] = payload[i];
            check ^= payload[i];
        }
        body[length] = corrupt ? static_cast<std::uint8_t>(check ^ 0x5A) : check;
        std::size_t n = EncodeFrame(command, body, static_cast<unsigned>(length + 1), out, cap);
        if (n < 3) return 0;
        out[n - 3] = kFrameLead;
        out[n - 2] = kFrameEnd;
        return n - 1;
    }

    void Reply(std::uint8_t command, const std::uint8_t* payload, std::size_t length,
               Shape shape = {}) {
        std::vector<std::uint8_t> wire;
        // The stray lead byte is followed by one that cannot start a frame: the decoder must
        // fall back to idle and still see the frame after it.
        static const std::uint8_t kNoise[] = {0x55, 0x11, 0x00, 0x13, 0xAA, 0x12, 0x14};
        const bool noise = o_.noise || shape.noise;
        if (shape.oversize) {
            // Longer than the utility's 8192-byte payload buffer, with a valid check byte; no
            // 0x11 inside, so once it is dropped the rest of it is plain noise.
            wire = {kFrameLead, kFrameStart, command};
            wire.insert(wire.end(), 9000, 0x55);
            wire.push_back(command);  // 9000 bytes of 0x55 cancel out: the check is the command
            wire.push_back(kFrameLead);
            wire.push_back(kFrameEnd);
        }
        for (int copy = 0; copy < (shape.duplicate ? 2 : 1); ++copy) {
            for (long f = 0; f < o_.coalesce; ++f) {
                if (noise) wire.insert(wire.end(), std::begin(kNoise), std::end(kNoise));
                // A lead byte right before a frame swallows the frame's own lead: it is lost.
                if (shape.leadNoise) {
                    wire.insert(wire.end(), std::begin(kNoise), std::end(kNoise));
                    wire.push_back(kFrameLead);
                }
                std::uint8_t frame[1300];
                std::size_t n;
                if (f == 0) {
                    n = BuildFrame(command, payload, length,
                                   shape.corrupt || replies_ == o_.badCheck, frame, sizeof frame);
                    if (copy == 0) ++replies_;
                } else {
                    n = BuildFrame(0x30, nullptr, 0, false, frame, sizeof frame);  // a status frame
                }
                wire.insert(wire.end(), frame, frame + n);
            }
        }
        if (noise) wire.insert(wire.end(), std::begin(kNoise), std::end(kNoise));
        if (o_.baud > 0) std::this_thread::sleep_for(ByteTime() * wire.size());
        if (o_.split || shape.split) {
            for (std::uint8_t b : wire) {
                WriteAll(master_, &b, 1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        } else {
            WriteAll(master_, wire.data(), wire.size());
        }
        answered_ = Clock::now();
        if (shape.duplicateLate) {
            // The copy follows the first on the line, as a board repeating itself (or an
            // adapter passing it on in its next packet) would send it: a later read on the host.
            std::uint8_t frame[64];
            const std::size_t n = BuildFrame(command, payload, length, false, frame, sizeof frame);
            std::this_thread::sleep_for(ByteTime() * n + std::chrono::milliseconds(shape.lateMs));
            WriteAll(master_, frame, n);
        }
    }

    bool LoadExpected(std::vector<std::uint8_t>& image, std::uint32_t& start) const {
        std::ifstream in(o_.expect, std::ios::binary);
        std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
        if (file.size() < 8) return false;
        start = file[0] | (file[1] << 8) | (file[2] << 16) |
                (static_cast<std::uint32_t>(file[3]) << 24);
        const std::uint32_t length = file[4] | (file[5] << 8) | (file[6] << 16) |
                                     (static_cast<std::uint32_t>(file[7]) << 24);
        if (file.size() - 8 < length) return false;
        image.assign(file.begin() + 8, file.begin() + 8 + length);
        return true;
    }

    bool Compare(const std::vector<std::uint8_t>& image, std::uint32_t start) const {
        const std::size_t count = (image.size() + 127) / 128;
        for (std::size_t i = 0; i < count; ++i) {
            auto it = blocks_.find(start + static_cast<std::uint32_t>(64 * i));
            if (it == blocks_.end()) return false;
            const std::size_t n = std::min<std::size_t>(128, image.size() - 128 * i);
            if (std::memcmp(it->second.data(), image.data() + 128 * i, n) != 0) return false;
        }
        return true;
    }

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

bool WriteHive(const std::string& file, const char* port) {
    FILE* f = std::fopen(file.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f,
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01]\r\n"
                 "\"PnpId\"=\"Quatech-SSP-100 Serial CF Card\"\r\n"
                 "\"Name\"=\"%s\"\r\n",
                 port);
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("vantra-boardsim: openpty");
        return 2;
    }
    // Raw from the start, so nothing is echoed back before the utility configures the line.
    termios t;
    if (::tcgetattr(slave, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    if (!o.registry.empty() && !WriteHive(o.registry, name)) {
        std::perror("vantra-boardsim: registry");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: the poll below must wake up
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", name);
    std::fflush(stdout);

    Board board(o, master);
    std::uint8_t buffer[4096];
    // The utility holds an exclusive lock on the port while it has it open; trying the lock
    // from our own descriptor of the same device tells when it opens and closes the line.
    bool utilityHasPort = false;
    bool utilityClosed = false;
    auto watchPort = [&] {
        const bool held = ::flock(slave, LOCK_EX | LOCK_NB) != 0;
        if (!held) ::flock(slave, LOCK_UN);
        if (held == utilityHasPort) return;
        utilityHasPort = held;
        if (!held) utilityClosed = true;
        if (o.trace)
            std::fprintf(stderr, "trace %lld port %s\n", NowMs(), held ? "open" : "closed");
    };
    while (!g_stopRequested && !board.finished() && !(o.exitOnClose && utilityClosed)) {
        pollfd p{master, POLLIN, 0};
        int r = ::poll(&p, 1, 20);
        watchPort();
        if (r <= 0) continue;
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) board.Receive(buffer, static_cast<std::size_t>(n));
    }
    // Let the utility read the last reply before the line goes; a hang-up fault skips this.
    // The pty hands written bytes to the far side a moment later, so an empty queue only counts
    // once they have had time to get there.
    for (int i = 0; i < 100 && !board.hungUp(); ++i) {
        ::usleep(10000);
        int waiting = 0;
        if (i >= 4 && (::ioctl(slave, FIONREAD, &waiting) != 0 || waiting <= 0)) break;
    }
    // Hanging up: both ends of our side go, and the utility's reads see the line drop.
    ::close(master);
    ::close(slave);
    const bool match = board.Summarise(stdout, utilityClosed);
    return match ? 0 : 1;
}
