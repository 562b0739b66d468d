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

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "tools/boardsim/board.h"
#include "tools/boardsim/options.h"

CFrameDecoder g_FrameDecoder;

namespace {

using boardsim::Board;
using boardsim::NowMs;
using boardsim::Options;

volatile sig_atomic_t g_stopRequested = 0;
void OnSignal(int) {
    g_stopRequested = 1;
}

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
    if (!boardsim::ParseOptions(argc, argv, o)) {
        boardsim::Usage();
        return 2;
    }
    if (o.showVersion) {
        std::printf("vantra-boardsim %s\n", VANTRA_VERSION);
        return 0;
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

    // The bench's boards, all made now so that one that never arrived has its line too.
    std::vector<Board> boards;
    boards.reserve(static_cast<std::size_t>(o.boards));
    for (long i = 1; i <= o.boards; ++i) {
        boardsim::Arrival arrival;
        arrival.serial = boardsim::SerialOf(o, i, arrival.answersSerial);
        arrival.last = i == o.boards;
        arrival.leaves = !arrival.last;
        boards.emplace_back(o, master, arrival);
    }
    std::size_t current = 0;
    long long swapAt = -1;  // while a board is away: when the next one arrives
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
    while (!g_stopRequested && !boards[current].finished() && !(o.exitOnClose && utilityClosed)) {
        pollfd p{master, POLLIN, 0};
        int r = ::poll(&p, 1, 20);
        watchPort();
        if (swapAt >= 0 && NowMs() >= swapAt) {
            swapAt = -1;
            ++current;
            g_FrameDecoder.Reset();  // half a frame heard in the silence is not the new board's
            if (o.trace)
                std::fprintf(stderr, "trace %lld board %zu arrived\n", NowMs(), current + 1);
        }
        if (r <= 0) continue;
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0 || swapAt >= 0) continue;  // nobody on the line takes it
        Board& board = boards[current];
        board.Receive(buffer, static_cast<std::size_t>(n));
        if (board.left()) {
            swapAt = NowMs() + o.swapAfterMs;
            if (o.trace) std::fprintf(stderr, "trace %lld board %zu left\n", NowMs(), current + 1);
        }
    }
    const Board& board = boards[current];
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
    if (o.boards == 1) return board.Summarise(stdout, utilityClosed) ? 0 : 1;
    bool all = true;
    for (std::size_t i = 0; i < boards.size(); ++i)
        all = boards[i].SummariseBoard(stdout, static_cast<long>(i + 1)) && all;
    board.Summarise(stdout, utilityClosed, &all);
    return all ? 0 : 1;
}
