#include "tests/support/pty_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/host_facts.h"
#include "transport/port_discovery.h"

extern char** environ;

namespace testutil {

PtyPair::PtyPair() {
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty");
    termios t;
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);  // a spawned board must not keep our line up
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    path = name;
}

PtyPair::~PtyPair() {
    CloseAll();
}

void PtyPair::CloseAll() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
}

std::vector<std::uint8_t> PtyPair::ReadMaster(std::size_t want, int ms) {
    std::vector<std::uint8_t> got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        std::uint8_t buf[4096];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    return got;
}

void PtyPair::WriteMaster(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

std::string TempPath(const std::string& stem) {
    static std::atomic<int> counter{0};  // test threads ask at once (the gate table's cells)
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/vantra-" + stem + "-" +
           std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

Hive::Hive(const std::string& body) : file(TempPath("hive")) {
    std::ofstream(file) << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
    ::setenv("VANTRA_REGISTRY", file.c_str(), 1);
    platform::SetSystemRoot("/nonexistent-root");
}

Hive::~Hive() {
    ::unsetenv("VANTRA_REGISTRY");
    platform::SetSystemRoot(nullptr);
    std::remove(file.c_str());
}

std::string DriverKey(const std::string& key, const std::string& pnpId, const std::string* name) {
    std::string s =
        "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\" + key + "]\r\n\"PnpId\"=\"" + pnpId + "\"\r\n";
    if (name) s += "\"Name\"=\"" + *name + "\"\r\n";
    return s + "\r\n";
}

pid_t Spawn(std::vector<std::string> args, int in, int out, const std::string& errPath,
            char* const* envp) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (!errPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(),
                    envp != nullptr ? envp : environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

BoardSim::BoardSim(const std::vector<std::string>& args, const std::string& stderrPath) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all{VANTRA_BOARDSIM};
    all.insert(all.end(), args.begin(), args.end());
    pid = Spawn(std::move(all), -1, pipeFds[1], stderrPath);
    ::close(pipeFds[1]);
    out = pipeFds[0];
    if (pid < 0) throw std::runtime_error("posix_spawn");
    char c;
    while (::read(out, &c, 1) == 1 && c != '\n') path += c;
}

BoardSim::~BoardSim() {
    if (pid > 0) {
        int status;
        Finish(&status);
    }
    if (out >= 0) ::close(out);
}

std::string BoardSim::Finish(int* status) {
    *status = -1;
    if (pid <= 0) return {};
    ::kill(pid, SIGTERM);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(out, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    pid = -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

HANDLE StartWorker() {
    return CLinkSession::StartWorkerThread();
}

bool LinkedBoard::Connect(std::vector<std::string> args) {
    registry = TempPath("boardhive");
    args.insert(args.begin(), {"--baud", "0", "--registry", registry});
    sim = std::make_unique<BoardSim>(args);
    if (sim->path.empty()) return false;
    ::setenv("VANTRA_REGISTRY", registry.c_str(), 1);
    platform::SetSystemRoot("/nonexistent-root");  // only the board's hive names ports
    session.Open();
    if (std::string(g_szPortName) != sim->path) return false;
    return session.StartWorker();
}

bool LinkedBoard::Disconnect() {
    const bool stopped = session.StopWorker(2000);
    session.ClosePortAtOnce();
    if (!registry.empty()) {
        ::unsetenv("VANTRA_REGISTRY");
        platform::SetSystemRoot(nullptr);
        std::remove(registry.c_str());
        registry.clear();
    }
    return stopped;
}

std::vector<std::uint8_t> MakeImage(std::uint32_t start, std::uint32_t length) {
    std::vector<std::uint8_t> file(8 + length);
    for (int i = 0; i < 4; ++i) {
        file[i] = static_cast<std::uint8_t>(start >> (8 * i));
        file[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    std::uint32_t x = 0x2545F491u;  // xorshift: every byte value, 0x11 included, turns up
    for (std::uint32_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        file[8 + i] = static_cast<std::uint8_t>(x);
    }
    return file;
}

}  // namespace testutil
