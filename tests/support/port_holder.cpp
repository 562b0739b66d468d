#include "tests/support/port_holder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/support/wait_until.h"

namespace testutil {

namespace {

std::string Comm(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

PortHolder::PortHolder(const std::string& device, const std::string& name, bool lock) {
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) {
        // A test killed by its timeout must not leave the port held for the next run.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || (lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) ::_exit(1);
        // Named only once the port is held, so the name in /proc says it is.
        ::prctl(PR_SET_NAME, name.c_str());
        for (;;) ::pause();
    }
    const std::string shown = name.substr(0, 15) + "\n";
    EXPECT_TRUE(WaitUntil([&] { return Comm(pid) == shown; })) << "the holder did not start";
}

PortHolder::~PortHolder() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace testutil
