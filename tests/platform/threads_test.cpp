#include <gtest/gtest.h>

#include <atomic>

#include "platform/wincore.h"

namespace {

std::atomic<int> runs{0};

DWORD CountRun(LPVOID parameter) {
    ++runs;
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(parameter));
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
    runs = 0;
    HANDLE t =
        CreateThread(nullptr, 0, CountRun, reinterpret_cast<LPVOID>(42), CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    EXPECT_EQ(runs.load(), 0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(runs.load(), 1);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(t), 0u);  // already running: nothing to resume
    CloseHandle(t);
}

TEST(Threads, ThreadWithOwnStackSizeRuns) {
    runs = 0;
    HANDLE t = CreateThread(nullptr, 256 * 1024, CountRun, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(runs.load(), 1);
    CloseHandle(t);
}

TEST(Threads, ResumeOnBadHandleFails) {
    EXPECT_EQ(ResumeThread(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

DWORD ErrorOnOwnThread(LPVOID out) {
    *static_cast<DWORD*>(out) = GetLastError();
    SetLastError(ERROR_BUSY);
    return 0;
}

TEST(Threads, LastErrorIsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 12345;
    HANDLE t = CreateThread(nullptr, 0, ErrorOnOwnThread, &seen, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
