// The least any host can do: the embedded image's block frames, exactly as the utility encodes
// them, sent to the board on PORT by the simplest loop there is. A blocking write of the frame,
// then blocking reads until the acknowledgement's end marker, and the next block. No threads,
// no events, no checks beyond finding the end of the reply. tools/bench.sh times it on the
// board's clock beside the window and vantra-flash: the floor their ratios are measured from.
//   vantra_floor_host PORT
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "link/frame_codec.h"
#include "platform/resources.h"
#include "ui/res/vantra_resources.h"
#include "upgrade/firmware_transfer.h"

namespace {

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Reads until 11 13 (an 0x11 in the payload arrives as 11 14, so a lead byte is always
// followed by a marker). False when the line ends or fails.
bool ReadToEndMarker(int fd) {
    std::uint8_t buffer[256];
    bool lead = false;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            if (lead) {
                if (buffer[i] == kFrameEnd) return true;
                lead = false;
            } else {
                lead = buffer[i] == kFrameLead;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vantra_floor_host PORT\n");
        return 2;
    }
    // Every frame is built before the first is sent: the loop does nothing but the exchange.
    platform::SetProgramResources(&VantraResources());
    FirmwareImage image{};
    if (!LoadFirmwareImage(kFirmwareResourceId, &image)) {
        std::fprintf(stderr, "vantra_floor_host: no firmware image\n");
        return 1;
    }
    const DWORD blocks = BlockCount(image);
    std::vector<std::vector<std::uint8_t>> frames(blocks);
    for (DWORD i = 0; i < blocks; ++i) {
        std::uint8_t payload[4 + kBlockBytes];
        const DWORD address = image.start + kWordsPerBlock * i;
        for (int b = 0; b < 4; ++b) payload[b] = static_cast<std::uint8_t>(address >> (8 * b));
        BYTE block[kBlockBytes];
        CopyBlock(image, i, block);
        for (std::size_t b = 0; b < kBlockBytes; ++b) payload[4 + b] = block[b];
        frames[i].resize(MaxEncodedSize(sizeof payload));
        frames[i].resize(EncodeFrame(0xFB, payload, sizeof payload, frames[i].data(),
                                     frames[i].size()));
    }

    // The line as the utility sets it: raw, 8N1, 38400 baud; a read waits for one byte.
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
        std::perror("vantra_floor_host: open");
        return 2;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B38400);
    ::cfsetospeed(&t, B38400);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        std::perror("vantra_floor_host: tcsetattr");
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    for (DWORD i = 0; i < blocks; ++i) {
        if (!WriteAll(fd, frames[i].data(), frames[i].size()) || !ReadToEndMarker(fd)) {
            std::fprintf(stderr, "vantra_floor_host: the line ended at block %u\n",
                         static_cast<unsigned>(i));
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("floor: %u blocks in %.3f s\n", static_cast<unsigned>(blocks), seconds);
    ::close(fd);
    return 0;
}
