#include "tests/cli/flash_child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "tests/support/pty_helpers.h"

namespace clitest {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Flash::Flash(std::vector<std::string> args, const std::string& input, bool asNobody) {
    errPath = testutil::TempPath("flash-err");
    args.insert(args.begin(), VANTRA_FLASH);
    if (asNobody) {
        args.insert(args.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }
    int outPipe[2];
    int inPipe[2];
    EXPECT_EQ(::pipe2(outPipe, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(inPipe, O_CLOEXEC), 0);
    pid = testutil::Spawn(std::move(args), inPipe[0], outPipe[1], errPath);
    EXPECT_GT(pid, 0);
    ::close(outPipe[1]);
    ::close(inPipe[0]);
    if (!input.empty()) {
        EXPECT_EQ(::write(inPipe[1], input.data(), input.size()), ssize_t(input.size()));
    }
    ::close(inPipe[1]);
    out = outPipe[0];
}

Flash::~Flash() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        Wait();
    }
    std::remove(errPath.c_str());
}

std::string Flash::ReadLine(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const std::size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            stdoutText += line + "\n";
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{out, POLLIN, 0};
        // out < 0: the test closed it (a terminal gone), so nothing more can come.
        if (out < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return "";
        char buf[4096];
        const ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0) return "";
        pending.append(buf, static_cast<std::size_t>(n));
    }
}

int Flash::Wait() {
    while (!ReadLine(60000).empty()) {
    }
    stdoutText += pending;  // a last line without its end
    pending.clear();
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    pid = -1;
    if (out >= 0) ::close(out);
    out = -1;
    err = ReadFile(errPath);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace clitest
