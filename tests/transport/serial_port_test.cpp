#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/winserial.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"

namespace {

using testutil::PtyPair;

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

HANDLE Open(const std::string& name) {
    return CreateFileW(Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void SetAtOnce(HANDLE port) {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
}

TEST(SerialPort, MissingAndMalformedNamesAreNotFound) {
    for (const char* name : {"/dev/vantra-no-such-port", "COM0:", "COMX:", "COM1:x", "LPT1:"}) {
        SetLastError(0);
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(SerialPort, IsExclusiveWithinAndAcrossProcesses) {
    PtyPair pty;
    HANDLE first = Open(pty.path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(pty.path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    pid_t child = ::fork();
    if (child == 0) {
        HANDLE h = Open(pty.path);
        ::_exit(h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Closing gives the port back, even though the other end keeps the terminal alive.
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = Open(pty.path);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST(SerialPort, LineSettingsReachTheTerminalAndReadBack) {
    PtyPair pty;
    HANDLE port = Open(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 38400;
    // A pty keeps 8 bits and no parity whatever it is told, so only the rest is checked here.
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Flags = DCB_fBinary | DCB_fOutX | DCB_fInX | (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
    ASSERT_TRUE(SetCommState(port, &dcb));

    termios t;
    ASSERT_EQ(::tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B38400);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));

    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 38400u);
    EXPECT_EQ(platform::GetWireBaud(port), 0u) << "a pty has no wire to pace it";
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.Flags & (DCB_fOutX | DCB_fInX | DCB_fOutxCtsFlow), DCB_fOutX | DCB_fInX);
    EXPECT_EQ((back.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift, RTS_CONTROL_ENABLE);

    // RTS handshaking is hardware flow control.
    dcb.Flags = DCB_fBinary | (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift);
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_EQ(::tcgetattr(pty.master, &t), 0);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    // A rate termios has no code for is refused and changes nothing.
    dcb.BaudRate = 12345;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(::tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B38400);
    CloseHandle(port);
}

TEST(SerialPort, ReadTimeoutsFollowTheirSettings) {
    PtyPair pty;
    HANDLE port = Open(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    BYTE buf[16];
    DWORD got = 99;

    SetAtOnce(port);
    EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);

    pty.WriteMaster({1, 2, 3});
    DWORD errors = 0;
    COMSTAT status{};
    bool cleared = true;
    testutil::WaitUntil([&] {
        cleared = ClearCommError(port, &errors, &status) != FALSE;
        return !cleared || status.cbInQue >= 3;
    });
    ASSERT_TRUE(cleared);
    EXPECT_EQ(status.cbInQue, 3u);
    EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &got, nullptr));
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(buf[2], 3);

    // Any byte ends the wait at once; otherwise the constant does.
    COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &firstByte));
    const long reader = testutil::ThisThreadId();
    std::thread writer([&] {
        EXPECT_TRUE(testutil::WaitUntil([&] { return testutil::ThreadIsAsleep(reader); }));
        pty.WriteMaster({7});
    });
    EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &got, nullptr));
    writer.join();
    EXPECT_EQ(got, 1u);

    // A total time-out returns what came in by then.
    COMMTIMEOUTS total{0, 0, 30, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &total));
    pty.WriteMaster({8, 9});
    EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 2u);
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(port, &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 30u);
    CloseHandle(port);
}

TEST(SerialPort, WriteCompletesTheWholeBufferAndPurgeEmptiesInput) {
    PtyPair pty;
    HANDLE port = Open(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::vector<BYTE> data(3000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
    DWORD written = 0;
    std::vector<std::uint8_t> seen;
    std::thread reader([&] { seen = pty.ReadMaster(data.size(), 3000); });
    EXPECT_TRUE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    reader.join();
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(seen, std::vector<std::uint8_t>(data.begin(), data.end()));

    pty.WriteMaster({1, 2, 3, 4});
    EXPECT_TRUE(testutil::WaitUntil([&] {  // all four are in, so the purge has bytes to drop
        COMSTAT in{};
        DWORD errors = 0;
        return ClearCommError(port, &errors, &in) && in.cbInQue == 4;
    }));
    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    COMSTAT status{};
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    CloseHandle(port);
}

TEST(SerialPort, HangUpIsAnErrorNotSilence) {
    PtyPair pty;
    HANDLE port = Open(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    pty.CloseAll();
    DWORD errors = 0;
    COMSTAT status{};
    EXPECT_FALSE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, CE_IOE);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    BYTE b = 0;
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(port, &b, 1, &n, nullptr));
    CloseHandle(port);
}

// The worker's pause: a port waited on beside an event releases the wait when bytes arrive,
// when the line hangs up and when the port is closed under the waiter, never while it is quiet.
TEST(SerialPort, WaitOnAPortEndsWhenBytesArriveOrTheLineEnds) {
    enum Ending { kBytes, kHangUp, kClose };
    for (Ending ending : {kBytes, kHangUp, kClose}) {
        PtyPair pty;
        HANDLE port = Open(pty.path);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        HANDLE idle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE objects[] = {idle, port};
        EXPECT_EQ(WaitForMultipleObjects(2, objects, FALSE, 20), WAIT_TIMEOUT) << ending;
        const long waiter = testutil::ThisThreadId();
        std::thread line([&] {
            EXPECT_TRUE(testutil::WaitUntil([&] { return testutil::ThreadIsAsleep(waiter); }));
            if (ending == kBytes) pty.WriteMaster({0x11, 0x12});
            if (ending == kHangUp) pty.CloseAll();
            if (ending == kClose) CloseHandle(port);
        });
        EXPECT_EQ(WaitForMultipleObjects(2, objects, FALSE, 5000), WAIT_OBJECT_0 + 1) << ending;
        line.join();
        if (ending == kBytes) {
            EXPECT_EQ(WaitForSingleObject(port, 0), WAIT_OBJECT_0);  // still waiting to be read
            SetAtOnce(port);
            BYTE buf[8];
            DWORD n = 0;
            EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &n, nullptr));
            EXPECT_EQ(n, 2u);
            EXPECT_EQ(WaitForSingleObject(port, 0), WAIT_TIMEOUT);
        }
        if (ending != kClose) CloseHandle(port);
        CloseHandle(idle);
    }
}

// After CloseHandle, another thread still using the old handle must fail, and must not reach
// whatever file the kernel hands the old descriptor number to.
TEST(SerialPort, ClosedPortNeverTouchesAReusedDescriptor) {
    PtyPair pty;
    HANDLE port = Open(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetAtOnce(port);
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> passes{0}, failures{0};
    std::thread user([&] {
        BYTE buf[64];
        for (; !stop.load(); passes.fetch_add(1)) {
            DWORD n = 0;
            COMSTAT status{};
            DWORD errors = 0;
            ClearCommError(port, &errors, &status);
            if (!ReadFile(port, buf, sizeof buf, &n, nullptr) &&
                GetLastError() == ERROR_INVALID_HANDLE)
                failures.fetch_add(1);
        }
    });
    // The other thread is using the port before it is closed under it.
    EXPECT_TRUE(testutil::WaitUntil([&] { return passes.load() > 0; }));
    ASSERT_TRUE(CloseHandle(port));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "0123456789", 10), 10);
    const bool refused = testutil::WaitUntil([&] { return failures.load() >= 100; });
    stop.store(true);
    user.join();
    EXPECT_TRUE(refused) << failures.load() << " refusals";
    int waiting = 0;
    ::ioctl(fds[0], FIONREAD, &waiting);
    EXPECT_EQ(waiting, 10);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
