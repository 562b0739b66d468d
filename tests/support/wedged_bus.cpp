#include "tests/support/wedged_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace testutil {

WedgedBus::WedgedBus(const char* variable) : variable_(variable) {
    if (const char* set = std::getenv(variable)) previous_ = set;
    char dir[] = "/tmp/vantra-wedged-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = dir;
    path_ = dir_ + "/bus";
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::snprintf(where.sun_path, sizeof where.sun_path, "%s", path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener_, 16) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
        error_ = std::string("the wedged bus's socket: ") + std::strerror(errno);
        return;
    }
    address_ = "unix:path=" + path_;
    ::setenv(variable, address_.c_str(), 1);
    acceptor_ = std::thread([this] { Accept(); });
}

WedgedBus::~WedgedBus() {
    if (stop_[1] >= 0) ::close(stop_[1]);  // the acceptor sees the pipe hang up
    if (acceptor_.joinable()) acceptor_.join();
    for (const int fd : {listener_, stop_[0]})
        if (fd >= 0) ::close(fd);
    if (previous_)
        ::setenv(variable_.c_str(), previous_->c_str(), 1);
    else
        ::unsetenv(variable_.c_str());
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!dir_.empty()) ::rmdir(dir_.c_str());
}

// Takes each connection and holds it, unread, until the end.
void WedgedBus::Accept() {
    // The test's own thread is the one a signal sent to this process is meant for.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::vector<int> held;
    pollfd watch[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (::poll(watch, 2, -1) >= 0 && watch[1].revents == 0) {
        if ((watch[0].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        held.push_back(fd);
        connections_.fetch_add(1);
    }
    for (const int fd : held) ::close(fd);
}

}  // namespace testutil
