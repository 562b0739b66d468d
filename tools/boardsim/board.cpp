#include "tools/boardsim/board.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "link/frame_codec.h"
#include "upgrade/image_checksum.h"

namespace boardsim {

namespace {

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

// A frame with the board's real check byte: the encoder is given payload + check and its
// own trailing 0x00 is taken out again.
std::size_t BuildFrame(std::uint8_t command, const std::uint8_t* payload, std::size_t length,
                       bool corrupt, std::uint8_t* out, std::size_t cap) {
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

}  // namespace

bool LoadImage(const std::string& file, std::vector<std::uint8_t>& image, std::uint32_t& start) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (bytes.size() < 8) return false;
    start = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
            (static_cast<std::uint32_t>(bytes[3]) << 24);
    const std::uint32_t length = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) |
                                 (static_cast<std::uint32_t>(bytes[7]) << 24);
    if (bytes.size() - 8 < length) return false;
    image.assign(bytes.begin() + 8, bytes.begin() + 8 + length);
    return true;
}

Board::Board(const Options& o, int master, Arrival arrival)
    : o_(o), master_(master), arrival_(std::move(arrival)), perTransfer_(CountsTransfers(o)) {
    if (arrival_.serial.empty() && arrival_.answersSerial) arrival_.serial = o.serial;
    std::vector<std::uint8_t> image;
    if (!o.expect.empty() && LoadImage(o.expect, image, imageStart_) && !image.empty()) {
        knowsImage_ = true;
        imageLast_ = imageStart_ + static_cast<std::uint32_t>(64 * ((image.size() - 1) / 128));
    }
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Board::Receive(const std::uint8_t* p, std::size_t n) {
    const auto now = Clock::now();
    if (lineFree_ < now) lineFree_ = now;
    if (o_.trace && answered_ != Clock::time_point{}) {
        // The host's turnaround, on this side's clock and free of its own pacing: from our
        // answer leaving to the first bytes of what the host sent after it.
        std::fprintf(
            stderr, "trace %lld turnaround %lld\n", NowMs(),
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::microseconds>(now - answered_).count()));
        answered_ = {};
    }
    for (std::size_t i = 0; i < n && !finished_ && !left_; ++i) {
        lineFree_ += ByteTime();
        g_FrameDecoder.Push(p[i]);
        if (g_FrameDecoder.state != CFrameDecoder::Complete) continue;
        if (o_.baud > 0) std::this_thread::sleep_until(lineFree_);
        Handle(g_FrameDecoder.command, g_FrameDecoder.payload, g_FrameDecoder.length);
        g_FrameDecoder.Reset();
    }
}

bool Board::Tally(unsigned long& gaps, std::uint32_t& crc) const {
    std::vector<std::uint8_t> image;
    gaps = 0;
    std::uint32_t previous = 0;
    bool firstBlock = true;
    for (const auto& [address, data] : blocks_) {
        if (!firstBlock && address - previous > 64) gaps += (address - previous) / 64 - 1;
        previous = address;
        firstBlock = false;
        image.insert(image.end(), data.begin(), data.end());
    }
    bool match = true;
    if (!o_.expect.empty()) {
        std::vector<std::uint8_t> expected;
        std::uint32_t start = 0;
        match = LoadImage(o_.expect, expected, start) && Compare(expected, start);
        if (image.size() > expected.size()) image.resize(expected.size());
    }
    crc = Crc32(image.data(), image.size());
    return match;
}

bool Board::Summarise(FILE* out, bool portClosed, const bool* verdict) const {
    unsigned long gaps = 0;
    std::uint32_t crc = 0;
    const bool match = Tally(gaps, crc);
    const char* expect = "";
    if (!o_.expect.empty())
        expect = (verdict ? *verdict : match) ? " expect=match" : " expect=MISMATCH";
    std::fprintf(out,
                 "boardsim: blocks=%lu first=0x%X last=0x%X gaps=%lu repeats=%lu "
                 "crc32=%08X%s%s%s\n",
                 received_, firstAddress_, lastAddress_, gaps, repeats_, crc, expect,
                 hungUp_ ? " hung-up" : "", portClosed ? " port-closed" : "");
    std::fflush(out);
    return match;
}

bool Board::SummariseBoard(FILE* out, long number) const {
    unsigned long gaps = 0;
    std::uint32_t crc = 0;
    // A board that never got a block has not matched, whatever an empty image would say.
    const bool match = Tally(gaps, crc) && received_ > 0;
    const long long readyMs = versionMs_ >= 0 && blockZeroMs_ >= 0 ? blockZeroMs_ - versionMs_ : -1;
    std::fprintf(out,
                 "board=%ld serial=%s blocks=%lu gaps=%lu repeats=%lu crc32=%08X expect=%s "
                 "ready_ms=%lld attempts=%ld\n",
                 number, arrival_.serial.c_str(), received_, gaps, repeats_, crc,
                 match ? "match" : "mismatch", readyMs, attempts_);
    std::fflush(out);
    return match;
}

bool Board::FaultsOn() const {
    if (o_.faultAttempts < 0) return true;
    // Before its first transfer a board is on its way to the first one.
    return attempts_ == 0 ? o_.faultAttempts > 0 : attempts_ <= o_.faultAttempts;
}

std::chrono::nanoseconds Board::ByteTime() const {
    // 8N1: ten bit times a byte.
    return o_.baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / o_.baud)
                       : std::chrono::nanoseconds(0);
}

void Board::Handle(std::uint8_t command, const std::uint8_t* payload, std::int32_t length) {
    if (o_.trace) {
        std::fprintf(stderr, "trace %lld frame %02X %lu\n", NowMs(), command, received_);
    }
    switch (command) {
        case 0x01:
            ReplyVersion();
            break;
        case 0x02:
            if (!arrival_.answersSerial) break;
            Reply(0x02, reinterpret_cast<const std::uint8_t*>(arrival_.serial.c_str()),
                  arrival_.serial.size() + 1);
            break;
        case 0xFB: {
            if (length < 132) return;  // too short to be a block: ignored, as a board would
            const std::uint32_t address = payload[0] | (payload[1] << 8) | (payload[2] << 16) |
                                          (static_cast<std::uint32_t>(payload[3]) << 24);
            if (perTransfer_ && address == imageStart_) {
                // The host starts the image over: so does the board.
                ++attempts_;
                transferBlocks_ = 0;
                blocks_.clear();
                repeats_ = 0;
                if (blockZeroMs_ < 0) blockZeroMs_ = NowMs();
            }
            const long index = static_cast<long>(perTransfer_ ? transferBlocks_ : received_);
            const bool faults = FaultsOn();
            if (faults && o_.hangupAt >= 0 && index == o_.hangupAt) {
                hungUp_ = true;
                finished_ = true;
                return;
            }
            Block block;
            std::memcpy(block.data(), payload + 4, block.size());
            if (blocks_.count(address)) ++repeats_;
            blocks_[address] = block;
            if (received_ == 0 || (perTransfer_ && transferBlocks_ == 0)) firstAddress_ = address;
            lastAddress_ = address;
            ++received_;
            ++transferBlocks_;
            if (!faults || o_.stopAt < 0 || index < o_.stopAt) {
                const BlockReply reply =
                    faults ? ReplyFor(o_.faults, index, o_.ackDelayMs) : BlockReply{};
                if (reply.delayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
                Reply(0xFB, nullptr, 0, reply.shape);
                if (reply.strayVersion) ReplyVersion();
                // What the host sends meanwhile waits in the line, as behind a board that
                // is busy or a cable that came loose and back.
                if (reply.deafMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(reply.deafMs));
                // Its verdict given, the board is unplugged.
                if (arrival_.leaves && knowsImage_ && address == imageLast_) left_ = true;
            }
            if (arrival_.last && o_.exitAfter >= 0 && static_cast<long>(received_) >= o_.exitAfter)
                finished_ = true;
            break;
        }
        default:
            break;  // unknown commands get no answer
    }
}

void Board::ReplyVersion() {
    if (versionMs_ < 0) versionMs_ = NowMs();
    Reply(0x01, reinterpret_cast<const std::uint8_t*>(o_.version.c_str()), o_.version.size() + 1);
}

void Board::Reply(std::uint8_t command, const std::uint8_t* payload, std::size_t length,
                  Shape shape) {
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
                               shape.corrupt || (replies_ == o_.badCheck && FaultsOn()), frame,
                               sizeof frame);
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

bool Board::Compare(const std::vector<std::uint8_t>& image, std::uint32_t start) const {
    const std::size_t count = (image.size() + 127) / 128;
    for (std::size_t i = 0; i < count; ++i) {
        auto it = blocks_.find(start + static_cast<std::uint32_t>(64 * i));
        if (it == blocks_.end()) return false;
        const std::size_t n = std::min<std::size_t>(128, image.size() - 128 * i);
        if (std::memcmp(it->second.data(), image.data() + 128 * i, n) != 0) return false;
    }
    return true;
}

}  // namespace boardsim
