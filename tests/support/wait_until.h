// Waiting for what a test expects instead of sleeping a guess: the condition is polled against a
// deadline no healthy run comes near, so a slow or loaded machine makes a test slower, never
// wrong.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace testutil {

// Far beyond any normal run, even under the sanitizers on a shared machine.
inline constexpr int kPatienceMs = 10000;

// Polls `done` until it holds (true) or `ms` have passed (false, after one last look).
template <class Predicate>
bool WaitUntil(Predicate done, int ms = kPatienceMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The kernel's id of the calling thread.
inline long ThisThreadId() {
    return ::syscall(SYS_gettid);
}

// Whether thread `tid` of this process is asleep in the kernel (state S): blocked in a wait, a
// poll or a read. In these tests nothing else holds a thread up, so a thread that has started
// its wait and is asleep is inside that wait.
inline bool ThreadIsAsleep(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t name = text.rfind(')');  // the state follows the name, which may hold spaces
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] == 'S';
}

// Whether every thread of this process but the caller is asleep: a worker it started has
// reached its pause.
inline bool OtherThreadsAsleep() {
    const long self = ThisThreadId();
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const long tid = std::stol(task.path().filename().string());
        if (tid != self && !ThreadIsAsleep(tid)) return false;
    }
    return true;
}

}  // namespace testutil
