#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/core/handles.h"
#include "platform/winserial.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Longest a blocking call holds the port before letting a close through.
constexpr int kPollSliceMs = 10;

// A port is waitable: it releases a wait while received bytes are waiting, once the device is
// gone, and when it is closed.
class SerialPort final : public Waitable {
public:
    explicit SerialPort(int fd) : fd_(fd) {}

    // Every use of the descriptor happens under the shared lock, and OnClose closes it under the
    // exclusive one, so once CloseHandle has returned no thread can touch a descriptor number
    // the kernel may since have given to another file. Waiters polling the descriptor hold the
    // shared lock, so they are woken first.
    void OnClose() override {
        {
            std::lock_guard lock(core_.mutex);
            closing_ = true;
            core_.NotifyAll();
        }
        std::unique_lock lock(mutex_);
        if (fd_ < 0) return;
        if (lowLatencySet_) {  // the setting outlives the descriptor; leave the driver as found
            serial_struct s{};
            if (::ioctl(fd_, TIOCGSERIAL, &s) == 0) {
                s.flags &= ~ASYNC_LOW_LATENCY;
                ::ioctl(fd_, TIOCSSERIAL, &s);
            }
        }
        ::ioctl(fd_, TIOCNXCL);  // the pty may outlive us; let the next opener in
        ::close(fd_);
        fd_ = -1;
    }

    ~SerialPort() override { OnClose(); }

    DWORD Wait(DWORD milliseconds) override {
        Waitable* self = this;
        return WaitAny(&self, 1, milliseconds);
    }
    WaitCore& Core() override { return core_; }
    bool TryClaim(unsigned long long) override {
        if (closing_) return true;
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return true;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && p.revents != 0;
    }
    int BeginPoll() override {
        mutex_.lock_shared();
        if (fd_ >= 0) return fd_;
        mutex_.unlock_shared();
        return -1;
    }
    void EndPoll() override { mutex_.unlock_shared(); }

    std::shared_mutex mutex_;
    int fd_;
    COMMTIMEOUTS timeouts_{};
    DWORD dtrControl_ = DTR_CONTROL_ENABLE;
    DWORD rtsControl_ = RTS_CONTROL_ENABLE;
    DWORD inQueue_ = 4096;
    DWORD outQueue_ = 4096;
    DWORD keptFlags_ = DCB_fBinary;  // flags termios has no place for
    bool lowLatencySet_ = false;

private:
    WaitCore core_;
    bool closing_ = false;
};

// Runs `f(port)` with the descriptor held open; fails with ERROR_INVALID_HANDLE otherwise.
template <class F>
BOOL WithPort(HANDLE handle, F f) {
    std::shared_ptr<SerialPort> port = LookupHandleOrFail<SerialPort>(handle);
    if (!port) return FALSE;
    std::shared_lock lock(port->mutex_);
    if (port->fd_ < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return f(*port);
}

DWORD ErrorFromErrno(int e) {
    switch (e) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case EIO:
        case EPIPE:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// "COMn:" (colon optional) or an absolute path, into `out`; false for anything else.
bool DevicePath(LPCWSTR name, char* out, std::size_t cap) {
    char narrow[256];
    std::size_t n = 0;
    for (; name[n] != 0; ++n) {
        if (n + 1 >= sizeof narrow || name[n] >= 0x80) return false;
        narrow[n] = static_cast<char>(name[n]);
    }
    narrow[n] = 0;
    if (narrow[0] == '/') {
        if (n + 1 > cap) return false;
        std::memcpy(out, narrow, n + 1);
        return true;
    }
    if (n < 4 || std::strncmp(narrow, "COM", 3) != 0) return false;
    unsigned number = 0;
    std::size_t i = 3;
    for (; i < n && narrow[i] >= '0' && narrow[i] <= '9' && number < 1000; ++i)
        number = number * 10 + static_cast<unsigned>(narrow[i] - '0');
    if (i == 3 || number == 0 || number >= 1000) return false;
    if (i < n && !(narrow[i] == ':' && i + 1 == n)) return false;
    return std::snprintf(out, cap, "/dev/ttyS%u", number - 1) < static_cast<int>(cap);
}

struct BaudEntry {
    DWORD rate;
    speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool BaudCode(DWORD rate, speed_t* code) {
    for (const BaudEntry& b : kBauds) {
        if (b.rate == rate) {
            *code = b.code;
            return true;
        }
    }
    return false;
}

DWORD BaudRate(speed_t code) {
    for (const BaudEntry& b : kBauds) {
        if (b.code == code) return b.rate;
    }
    return 0;
}

// Milliseconds left before `deadline`, or -1 for none.
int MsLeft(bool hasDeadline, Clock::time_point deadline) {
    if (!hasDeadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool HungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace
}  // namespace platform

using platform::SerialPort;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE templateFile) {
    char path[256];
    if (name == nullptr || templateFile != nullptr || disposition != OPEN_EXISTING ||
        shareMode != 0 || (access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!platform::DevicePath(name, path, sizeof path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(platform::ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Two guards, neither complete. flock is advisory: it refuses only openers that take the
    // lock too (another copy of this program; the simulator tries it to see the port in use),
    // whoever they run as. TIOCEXCL then makes the terminal refuse later open() calls with EBUSY,
    // except from root (CAP_SYS_ADMIN). A program that had the port open before keeps it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        SetLastError(e == EWOULDBLOCK ? ERROR_ACCESS_DENIED : platform::ErrorFromErrno(e));
        return INVALID_HANDLE_VALUE;
    }
    ::ioctl(fd, TIOCEXCL);
    auto port = std::make_shared<SerialPort>(fd);
    // USB adapters otherwise hold received bytes for their latency timer (often 16 ms), which
    // on a 6-byte acknowledgement is most of a block's time. Ports without the setting (a pty)
    // or drivers that refuse it work as before.
    serial_struct s{};
    if (::ioctl(fd, TIOCGSERIAL, &s) == 0 && (s.flags & ASYNC_LOW_LATENCY) == 0) {
        s.flags |= ASYNC_LOW_LATENCY;
        port->lowLatencySet_ = ::ioctl(fd, TIOCSSERIAL, &s) == 0;
    }
    return platform::InsertHandle(port);
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        termios t;
        if (::tcgetattr(p.fd_, &t) != 0) {
            SetLastError(platform::ErrorFromErrno(errno));
            return FALSE;
        }
        std::memset(dcb, 0, sizeof *dcb);
        dcb->DCBlength = sizeof *dcb;
        dcb->BaudRate = platform::BaudRate(::cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
            case CS5:
                dcb->ByteSize = 5;
                break;
            case CS6:
                dcb->ByteSize = 6;
                break;
            case CS7:
                dcb->ByteSize = 7;
                break;
            default:
                dcb->ByteSize = 8;
                break;
        }
        if ((t.c_cflag & PARENB) == 0) {
            dcb->Parity = NOPARITY;
        } else if (t.c_cflag & CMSPAR) {
            dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        } else {
            dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
        }
        dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
        DWORD flags = p.keptFlags_;
        DWORD rts = p.rtsControl_;
        if (t.c_cflag & CRTSCTS) {
            flags |= DCB_fOutxCtsFlow;
            if (rts != RTS_CONTROL_HANDSHAKE) rts = RTS_CONTROL_HANDSHAKE;
        }
        if (t.c_iflag & IXON) flags |= DCB_fOutX;
        if (t.c_iflag & IXOFF) flags |= DCB_fInX;
        if (t.c_iflag & INPCK) flags |= DCB_fParity;
        flags |= p.dtrControl_ << DCB_fDtrControlShift;
        flags |= rts << DCB_fRtsControlShift;
        dcb->Flags = flags;
        dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
        dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
        return TRUE;
    });
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        speed_t speed;
        if (!platform::BaudCode(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
            dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        termios t;
        if (::tcgetattr(p.fd_, &t) != 0) {
            SetLastError(platform::ErrorFromErrno(errno));
            return FALSE;
        }
        ::cfmakeraw(&t);
        t.c_cflag |= CREAD | CLOCAL;
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= kSizes[dcb->ByteSize - 5];
        switch (dcb->Parity) {
            case ODDPARITY:
                t.c_cflag |= PARENB | PARODD;
                break;
            case EVENPARITY:
                t.c_cflag |= PARENB;
                break;
            case MARKPARITY:
                t.c_cflag |= PARENB | PARODD | CMSPAR;
                break;
            case SPACEPARITY:
                t.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                break;
        }
        if (dcb->StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;  // 1.5 is not offered by termios
        const DWORD flags = dcb->Flags;
        const DWORD dtr = (flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
        const DWORD rts = (flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
        if ((flags & DCB_fOutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | INPCK);
        if (flags & DCB_fOutX) t.c_iflag |= IXON;
        if (flags & DCB_fInX) t.c_iflag |= IXOFF;
        if ((flags & DCB_fParity) && dcb->Parity != NOPARITY) t.c_iflag |= INPCK;
        if (dcb->XonChar != 0) t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
        if (dcb->XoffChar != 0) t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        if (::tcsetattr(p.fd_, TCSANOW, &t) != 0) {
            SetLastError(platform::ErrorFromErrno(errno));
            return FALSE;
        }
        // A device without modem lines (a pseudo-terminal) refuses these; that is not an error.
        int dtrBit = TIOCM_DTR;
        int rtsBit = TIOCM_RTS;
        if (dtr != DTR_CONTROL_HANDSHAKE)
            ::ioctl(p.fd_, dtr == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &dtrBit);
        if (rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_DISABLE)
            ::ioctl(p.fd_, rts == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &rtsBit);
        p.dtrControl_ = dtr;
        p.rtsControl_ = rts;
        p.keptFlags_ =
            flags & (DCB_fBinary | DCB_fOutxDsrFlow | DCB_fDsrSensitivity | DCB_fTXContinueOnXoff |
                     DCB_fErrorChar | DCB_fNull | DCB_fAbortOnError);
        if (flags & DCB_fOutxCtsFlow) p.keptFlags_ |= DCB_fOutxCtsFlow;
        return TRUE;
    });
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        p.inQueue_ = inQueue;
        p.outQueue_ = outQueue;
        return TRUE;
    });
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        *timeouts = p.timeouts_;
        return TRUE;
    });
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        p.timeouts_ = *timeouts;
        return TRUE;
    });
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        int queue = -1;
        if ((flags & PURGE_TXCLEAR) && (flags & PURGE_RXCLEAR)) {
            queue = TCIOFLUSH;
        } else if (flags & PURGE_TXCLEAR) {
            queue = TCOFLUSH;
        } else if (flags & PURGE_RXCLEAR) {
            queue = TCIFLUSH;
        }
        // Nothing is ever pending asynchronously here, so the abort flags have nothing to stop.
        if (queue >= 0 && ::tcflush(p.fd_, queue) != 0) {
            SetLastError(platform::ErrorFromErrno(errno));
            return FALSE;
        }
        return TRUE;
    });
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    if (errors) *errors = 0;
    if (status) *status = COMSTAT{};
    return platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        int waiting = 0;
        if (::ioctl(p.fd_, FIONREAD, &waiting) != 0 || (waiting <= 0 && platform::HungUp(p.fd_))) {
            if (errors) *errors = CE_IOE;
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        int queued = 0;
        ::ioctl(p.fd_, TIOCOUTQ, &queued);
        if (status) {
            status->cbInQue = waiting > 0 ? static_cast<DWORD>(waiting) : 0;
            status->cbOutQue = queued > 0 ? static_cast<DWORD>(queued) : 0;
        }
        return TRUE;
    });
}

namespace {
// Checks a read's or write's arguments and takes the port's time-outs as they are now; null
// (with the last error set) when the call cannot go on.
std::shared_ptr<SerialPort> BeginTransfer(HANDLE handle, LPCVOID buffer, DWORD count,
                                          LPOVERLAPPED overlapped, COMMTIMEOUTS* timeouts) {
    if (overlapped != nullptr || (buffer == nullptr && count > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<SerialPort> port = platform::LookupHandleOrFail<SerialPort>(handle);
    if (!port) return nullptr;
    std::shared_lock lock(port->mutex_);
    *timeouts = port->timeouts_;
    return port;
}
}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    using platform::Clock;
    if (read) *read = 0;
    COMMTIMEOUTS to;
    std::shared_ptr<SerialPort> port = BeginTransfer(handle, buffer, toRead, overlapped, &to);
    if (!port) return FALSE;
    // MAXDWORD interval with zero totals: whatever is buffered, at once. MAXDWORD interval and
    // multiplier with a constant: return as soon as anything arrives, or after the constant.
    const bool atOnce = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                        to.ReadTotalTimeoutConstant == 0;
    const bool anyByte =
        to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
        to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != MAXDWORD;
    const unsigned long long totalMs =
        anyByte ? to.ReadTotalTimeoutConstant
                : static_cast<unsigned long long>(to.ReadTotalTimeoutMultiplier) * toRead +
                      to.ReadTotalTimeoutConstant;
    const bool hasTotal = !atOnce && totalMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    const bool hasInterval = !atOnce && !anyByte && to.ReadIntervalTimeout != 0;
    Clock::time_point intervalEnd{};

    DWORD got = 0;
    auto* out = static_cast<BYTE*>(buffer);
    for (;;) {
        std::shared_lock lock(port->mutex_);
        if (port->fd_ < 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            if (read) *read = got;
            return FALSE;
        }
        if (got < toRead) {
            ssize_t n = ::read(port->fd_, out + got, toRead - got);
            if (n > 0) {
                got += static_cast<DWORD>(n);
                if (hasInterval)
                    intervalEnd = Clock::now() + std::chrono::milliseconds(to.ReadIntervalTimeout);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                SetLastError(platform::ErrorFromErrno(errno));
                if (read) *read = got;
                return FALSE;
            } else if (n == 0 && got == 0 && platform::HungUp(port->fd_)) {
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return FALSE;
            }
        }
        if (got == toRead || atOnce || (anyByte && got > 0)) break;
        int wait = platform::MsLeft(hasTotal, deadline);
        if (wait == 0) break;
        if (hasInterval && got > 0) {
            int left = platform::MsLeft(true, intervalEnd);
            if (left == 0) break;
            if (wait < 0 || left < wait) wait = left;
        }
        if (wait < 0 || wait > platform::kPollSliceMs) wait = platform::kPollSliceMs;
        pollfd pfd{port->fd_, POLLIN, 0};
        ::poll(&pfd, 1, wait);
    }
    if (read) *read = got;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    using platform::Clock;
    if (written) *written = 0;
    COMMTIMEOUTS to;
    std::shared_ptr<SerialPort> port = BeginTransfer(handle, buffer, toWrite, overlapped, &to);
    if (!port) return FALSE;
    const unsigned long long totalMs =
        static_cast<unsigned long long>(to.WriteTotalTimeoutMultiplier) * toWrite +
        to.WriteTotalTimeoutConstant;
    const bool hasTotal = totalMs != 0;  // zero totals: no write time-out
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);

    DWORD done = 0;
    const auto* in = static_cast<const BYTE*>(buffer);
    while (done < toWrite) {
        std::shared_lock lock(port->mutex_);
        if (port->fd_ < 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        ssize_t n = ::write(port->fd_, in + done, toWrite - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            SetLastError(platform::ErrorFromErrno(errno));
            return FALSE;
        }
        int wait = platform::MsLeft(hasTotal, deadline);
        if (wait == 0) {
            SetLastError(ERROR_TIMEOUT);
            if (written) *written = done;
            return FALSE;
        }
        if (wait < 0 || wait > platform::kPollSliceMs) wait = platform::kPollSliceMs;
        pollfd pfd{port->fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, wait) > 0 && (pfd.revents & (POLLHUP | POLLERR)) &&
            !(pfd.revents & POLLOUT)) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
    }
    if (written) *written = done;
    return TRUE;
}

DWORD platform::GetWireBaud(HANDLE handle) {
    DWORD baud = 0;
    platform::WithPort(handle, [&](SerialPort& p) -> BOOL {
        struct stat st {};
        termios t;
        if (::fstat(p.fd_, &st) != 0 || ::tcgetattr(p.fd_, &t) != 0) return FALSE;
        // Device numbers the kernel fixes: pseudo-terminal slaves (Unix98 136-143, the old BSD
        // ones 3) and USB modem-class ports (166).
        const unsigned kind = major(st.st_rdev);
        if ((kind >= 136 && kind <= 143) || kind == 3 || kind == 166) return FALSE;
        baud = platform::BaudRate(::cfgetospeed(&t));
        return TRUE;
    });
    return baud;
}
