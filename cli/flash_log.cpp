#include "cli/flash_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// What stands at `path` when it is not a file the record may go into.
std::string NotAFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
    const char* what = S_ISLNK(st.st_mode)    ? "a symbolic link"
                       : S_ISDIR(st.st_mode)  ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISSOCK(st.st_mode)                      ? "a socket"
                                                                   : "not a regular file";
    return path + ": is " + std::string(what) + "; the record must go to a regular file";
}

// The log, opened for appending. Only a regular file will do: a symbolic link could turn the
// record against whoever writes it (an upgrade run as root appending to a file it points at), a
// FIFO with no reader would hang the upgrade, and a device such as a terminal would receive it.
// O_NONBLOCK keeps the open of a FIFO from waiting for a reader.
int OpenLog(const std::string& path, std::string* error) {
    const int flags = O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    if (fd < 0) {
        const int err = errno;
        *error = err == ELOOP || err == EISDIR || err == ENXIO ? NotAFile(path)
                                                              : path + ": " + std::strerror(err);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = NotAFile(path);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool CheckFlashLog(const std::string& path, std::string* error) {
    const int fd = OpenLog(path, error);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool AppendFlashLog(const std::string& path, const std::string& line, std::string* error) {
    const int fd = OpenLog(path, error);
    if (fd < 0) return false;
    bool ok = ::flock(fd, LOCK_EX) == 0;
    std::string record = line;
    struct stat st {};
    if (ok && ::fstat(fd, &st) == 0 && st.st_size > 0) {
        // A descriptor opened write-only cannot read back; its last line is taken as whole.
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
        if (last != '\n') record.insert(record.begin(), '\n');
    }
    ssize_t written = -1;
    if (ok) {
        do {
            written = ::write(fd, record.data(), record.size());
        } while (written < 0 && errno == EINTR);
        ok = written == static_cast<ssize_t>(record.size()) && ::fsync(fd) == 0;
    }
    if (!ok) *error = path + ": " + (written >= 0 ? "short write" : std::strerror(errno));
    ::close(fd);  // releases the lock
    return ok;
}

std::string NewUpgradeId() {
    unsigned char bytes[16] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    char text[sizeof bytes * 2 + 1];
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}
