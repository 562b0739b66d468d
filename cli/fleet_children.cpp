#include "cli/fleet_children.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "cli/child_process.h"
#include "platform/host_signals.h"
#include "platform/text.h"

extern char** environ;

namespace fleet {

namespace {

// This program's own file, so a child's name in /proc is vantra-flash (by /proc/self/exe it
// would be "exe", which is what a technician would read when it holds a port).
std::string OwnProgram() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "/proc/self/exe";
    const std::string program(path, static_cast<std::size_t>(n));
    // Replaced while running (an upgrade of the package): the old file is only reachable there.
    const std::string deleted = " (deleted)";
    if (program.size() > deleted.size() &&
        program.compare(program.size() - deleted.size(), deleted.size(), deleted) == 0)
        return "/proc/self/exe";
    return program;
}

}  // namespace

bool StartChild(Board& b, std::vector<std::string> args) {
    const std::string program = OwnProgram();  // each time: the package may be replaced meanwhile
    int fds[2];
    int errFds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    if (::pipe2(errFds, O_CLOEXEC) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    args.insert(args.begin(), "vantra-flash");
    // Standard error into this process's display, not across the lines it redraws.
    const int rc =
        SpawnProgram(program, std::move(args), environ, false, fds[1], errFds[1], &b.pid);
    ::close(fds[1]);
    ::close(errFds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        ::close(errFds[0]);
        b.pid = -1;
        return false;
    }
    b.out = fds[0];
    b.err = errFds[0];
    return true;
}

std::vector<std::string> ChildOptions(const FlashOptions& options) {
    std::vector<std::string> args{"--yes", "--json"};
    if (options.ignorePower) args.push_back("--ignore-power");
    for (const auto& [name, value] :
         {std::pair<const char*, const std::string&>{"--log", options.log},
          {"--sysroot", options.sysroot}}) {
        if (value.empty()) continue;
        args.push_back(name);
        args.push_back(value);
    }
    return args;
}

void StartChildren(std::vector<Board>& boards, const FlashOptions& options) {
    for (Board& b : boards) {
        std::vector<std::string> args = ChildOptions(options);
        args.insert(args.begin(), {"--port", b.port});
        if (!StartChild(b, args)) {
            b.outcome = "could not start a process for this port";
            b.status = kExitNoPort;
        }
    }
}

bool ReadChildren(std::vector<Board>& boards,
                  const std::function<void(Board&, const std::string&)>& onEvent, std::string* said,
                  int wake) {
    std::vector<pollfd> polls;
    std::vector<Board*> owners;
    for (Board& b : boards) {
        for (const int fd : {b.out, b.err}) {
            if (fd < 0) continue;
            polls.push_back({fd, POLLIN, 0});
            owners.push_back(&b);
        }
    }
    if (polls.empty()) return false;
    polls.push_back({platform::CaughtSignalsDescriptor(), POLLIN, 0});
    polls.push_back({wake, POLLIN, 0});  // a negative descriptor is left out by poll
    if (::poll(polls.data(), polls.size(), 200) <= 0) return true;
    polls.resize(polls.size() - 2);
    for (std::size_t i = 0; i < polls.size(); ++i) {
        if (polls[i].revents == 0) continue;
        Board& b = *owners[i];
        const bool isErr = polls[i].fd == b.err;
        char chunk[4096];
        const ssize_t n = ::read(polls[i].fd, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(polls[i].fd);
            (isErr ? b.err : b.out) = -1;
            if (isErr && !b.errBuffer.empty()) {
                *said +=
                    platform::EscapeText(b.port) + ": " + platform::EscapeText(b.errBuffer) + "\n";
                b.errBuffer.clear();
            }
            continue;
        }
        std::string& buffer = isErr ? b.errBuffer : b.buffer;
        buffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            const std::string line = buffer.substr(0, end + 1);
            buffer.erase(0, end + 1);
            if (isErr) {
                *said += platform::EscapeText(b.port) + ": " +
                         platform::EscapeText(line.substr(0, line.size() - 1)) + "\n";
                continue;
            }
            onEvent(b, line);
        }
    }
    return true;
}

void StopChildren(const std::vector<Board>& boards) {
    for (const Board& b : boards) {
        if (b.pid > 0 && b.out >= 0) ::kill(b.pid, SIGUSR1);
    }
}

void ReapChildren(std::vector<Board>& boards) {
    for (Board& b : boards) {
        if (b.pid <= 0) continue;
        int raw = 0;
        while (::waitpid(b.pid, &raw, 0) < 0 && errno == EINTR) {
        }
        b.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        b.transferring = false;
        if (b.outcome.empty()) {
            b.outcome = b.status == kExitInterrupted
                            ? "interrupted before the transfer"
                            : "ended with status " + std::to_string(b.status);
        }
    }
}

int CombinedStatus(const std::vector<Board>& boards) {
    constexpr int kByGravity[] = {kExitInterrupted, kExitFailed, kExitLowPower,
                                  kExitNoAnswer,    kExitNoPort, kExitNotRecorded};
    int worst = kExitComplete;
    for (const int status : kByGravity) {
        for (const Board& b : boards) {
            if (b.status == kExitComplete || worst != kExitComplete) continue;
            const bool known = b.status == kExitInterrupted || b.status == kExitNoAnswer ||
                               b.status == kExitNoPort || b.status == kExitLowPower ||
                               b.status == kExitNotRecorded;
            if ((known ? b.status : kExitFailed) == status) worst = status;
        }
    }
    return worst;
}

}  // namespace fleet
