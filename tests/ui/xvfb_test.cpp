#include "tests/support/xvfb.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// Runs `program` with `env` added; its exit code, or -1 when it had to be killed.
int RunWithEnv(const char* program, const std::vector<std::string>& env, int timeoutMs) {
    pid_t pid = ::fork();
    if (pid == 0) {
        for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
        ::execl(program, program, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

TEST(RealDisplay, WindowIsDrawnOnAnXServer) {
    if (!testsupport::XvfbServer::Available()) GTEST_SKIP() << "Xvfb is not installed";
    testsupport::XvfbServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    std::string display = "DISPLAY=";
    display += server.Display();
    int code = RunWithEnv(
        VANTRA_WINDOW_PROBE,
        {"QT_QPA_PLATFORM=xcb", display, "LSAN_OPTIONS=suppressions=" VANTRA_LSAN_SUPPRESSIONS},
        60000);
    EXPECT_EQ(code, 0) << "the probe's messages are on stderr";
}

}  // namespace
