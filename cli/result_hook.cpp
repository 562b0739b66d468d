#include "cli/result_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "cli/child_process.h"

extern char** environ;

namespace {

// A hook that never ends a line must not fill this process's memory: a line is passed on
// once it is this long.
constexpr std::size_t kLineBytes = 8192;

std::vector<std::string> Words(const std::string& command) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = command.find_first_not_of(' ', at)) != std::string::npos) {
        const std::size_t end = command.find(' ', at);
        words.push_back(command.substr(at, end - at));
        at = end;
    }
    return words;
}

// This process's environment with `variables` in place of any of the same name; a name given
// twice counts once, as its last value.
std::vector<std::string> Environment(const std::vector<HookVariable>& variables) {
    auto given = [&](const std::string& name) {
        return std::any_of(variables.begin(), variables.end(),
                           [&](const HookVariable& v) { return v.name == name; });
    };
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (!given(entry.substr(0, entry.find('=')))) entries.push_back(entry);
    }
    for (std::size_t i = 0; i < variables.size(); ++i) {
        const bool later =
            std::any_of(variables.begin() + static_cast<long>(i) + 1, variables.end(),
                        [&](const HookVariable& v) { return v.name == variables[i].name; });
        if (!later) entries.push_back(variables[i].name + "=" + variables[i].value);
    }
    return entries;
}

std::string Seconds(int ms) {
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

// Whether `pid` has ended, without reaping it: until it is reaped its id cannot go to another
// process, so its group can still be killed by that id.
bool HasEnded(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

}  // namespace

HookRun RunResultHook(const std::string& command, const std::vector<HookVariable>& variables,
                      int limitMs, const std::function<void(const std::string&)>& onLine,
                      int stop) {
    HookRun run;
    std::vector<std::string> words = Words(command);
    if (words.empty()) {
        run.error = "no command";
        return run;
    }
    std::vector<std::string> entries = Environment(variables);
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.error = std::strerror(errno);
        return run;
    }
    pid_t pid = -1;
    const std::string program = words[0];
    const int rc = SpawnProgram(program, std::move(words), envp.data(), true, fds[1], fds[1], &pid);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        run.error = std::strerror(rc);
        return run;
    }
    run.started = true;

    // The hook's end wakes the poll; on a kernel without pidfds it is looked for in between.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    int out = fds[0];
    bool ended = false;
    std::string line;
    auto pass = [&](bool all) {
        std::size_t end;
        while ((end = line.find('\n')) != std::string::npos) {
            onLine(line.substr(0, end));
            line.erase(0, end + 1);
        }
        while (line.size() >= kLineBytes) {
            onLine(line.substr(0, kLineBytes));
            line.erase(0, kLineBytes);
        }
        if (all && !line.empty()) {
            onLine(line);
            line.clear();
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    // Until its output has ended and it has ended too, or the limit.
    while (out >= 0 || !ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            // Whatever of it is left goes, the children it left holding the output among them;
            // and nothing more is read, whoever else may hold the pipe.
            ::kill(-pid, SIGKILL);
            run.killed = true;
            break;
        }
        pollfd polls[3];
        nfds_t count = 0;
        if (out >= 0) polls[count++] = {out, POLLIN, 0};
        if (!ended && pidfd >= 0) polls[count++] = {pidfd, POLLIN, 0};
        const nfds_t stopAt = count;
        if (stop >= 0) polls[count++] = {stop, POLLIN, 0};
        int timeout = static_cast<int>(left);
        if (!ended && pidfd < 0) timeout = std::min(timeout, 10);
        if (::poll(polls, count, timeout) < 0 && errno != EINTR) {
            ::usleep(10000);  // the limit still ends it
            continue;
        }
        if (!ended) ended = HasEnded(pid);
        if (stop >= 0 && polls[stopAt].revents != 0 && !ended) {
            ::kill(-pid, SIGKILL);
            run.killed = run.stopped = true;
            break;
        }
        if (out >= 0 && polls[0].revents != 0) {
            char chunk[4096];
            const ssize_t n = ::read(out, chunk, sizeof chunk);
            if (n > 0) {
                line.append(chunk, static_cast<std::size_t>(n));
                pass(false);
            } else if (n == 0 || errno != EINTR) {
                ::close(out);
                out = -1;
            }
        }
    }
    pass(true);
    if (out >= 0) ::close(out);
    if (pidfd >= 0) ::close(pidfd);

    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) run.signal = WTERMSIG(raw);
    // The text names the limit this run had; DescribeHookRun has only the run.
    if (run.killed)
        run.error = run.stopped ? "stopped: the program was asked to end"
                                : "killed after " + Seconds(limitMs);
    return run;
}

std::string DescribeHookRun(const HookRun& run) {
    if (!run.started) return "could not be started: " + run.error;
    if (run.killed) return run.error;
    if (run.signal != 0) {
        const char* name = ::sigabbrev_np(run.signal);
        return "ended by signal " + std::to_string(run.signal) +
               (name != nullptr ? std::string(" (SIG") + name + ")" : std::string());
    }
    if (run.status != 0) return "exited with status " + std::to_string(run.status);
    return "";
}
