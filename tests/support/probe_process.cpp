#include "tests/support/probe_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "tests/support/pty_helpers.h"

extern char** environ;

namespace testutil {
namespace {

using Clock = std::chrono::steady_clock;

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

ProbeProcess::ProbeProcess(std::vector<std::string> argv, const std::vector<std::string>& env) {
    std::vector<std::string> all = env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& mine : env) replaced = replaced || NameOf(mine) == NameOf(entry);
        if (!replaced) all.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : all) envp.push_back(e.data());
    envp.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = Spawn(std::move(argv), -1, fds[1], "", envp.data());
    ::close(fds[1]);
    out_ = fds[0];
}

ProbeProcess::~ProbeProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
}

bool ProbeProcess::Read(int ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.rfind("probe ", 0) != 0) continue;
        const std::size_t space = line.find(' ', 6);
        seen_[line.substr(6, space - 6)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return true;
}

bool ProbeProcess::WaitFor(const std::string& key, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Has(key) && Clock::now() < deadline) {
        if (!Read(50)) break;
    }
    return Has(key);
}

int ProbeProcess::Finish(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    endedByItself_ = false;
    while (Clock::now() < deadline) {
        if (!Read(100)) {
            endedByItself_ = true;
            break;
        }
    }
    int raw = rawStatus_;
    if (!reaped_) {
        if (!endedByItself_) ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
    }
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool ProbeProcess::Running() {
    if (pid_ <= 0 || reaped_) return false;
    if (::waitpid(pid_, &rawStatus_, WNOHANG) != pid_) return true;
    reaped_ = true;  // Finish reports this status
    return false;
}

std::string ProbeProcess::Text(const std::string& key) const {
    auto it = seen_.find(key);
    return it == seen_.end() ? "<missing>" : it->second;
}

long long ProbeProcess::Number(const std::string& key) const {
    auto it = seen_.find(key);
    return it == seen_.end() ? -1 : std::stoll(it->second);
}

std::pair<int, int> ProbeProcess::Point(const std::string& key) const {
    std::istringstream in(Text(key));
    int x = -1, y = -1;
    in >> x >> y;
    return {x, y};
}

}  // namespace testutil
