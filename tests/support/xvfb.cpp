#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testsupport {
namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string FindProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

}  // namespace

std::string XvfbServer::Display() const {
    return std::string(":").append(std::to_string(display_));
}

bool XvfbServer::Available() {
    return !FindProgram("Xvfb").empty();
}

bool XvfbServer::Start(const std::string& screen, int timeoutMs) {
    Stop();
    std::string program = FindProgram("Xvfb");
    if (program.empty()) {
        error_ = "Xvfb is not installed";
        return false;
    }
    // Another test (or engineer) may hold a display: skip those with a lock or a socket.
    for (int n = 90; n < 190; ++n) {
        const std::string number = std::to_string(n);
        const std::string socket = std::string("/tmp/.X11-unix/X").append(number);
        if (Exists(std::string("/tmp/.X").append(number).append("-lock")) || Exists(socket))
            continue;
        const std::string display = std::string(":").append(number);
        pid_t pid = ::fork();
        if (pid < 0) {
            error_ = "fork failed";
            return false;
        }
        if (pid == 0) {
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, STDOUT_FILENO);
                ::dup2(null, STDERR_FILENO);
            }
            ::execl(program.c_str(), "Xvfb", display.c_str(), "-screen", "0", screen.c_str(),
                    "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Exists(socket)) {
                pid_ = pid;
                display_ = n;
                return true;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) break;  // lost a race for the display
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    error_ = "Xvfb did not start";
    return false;
}

void XvfbServer::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 250 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    display_ = -1;
}

}  // namespace testsupport
