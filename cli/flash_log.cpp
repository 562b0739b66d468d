#include "cli/flash_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int OpenLog(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) *error = path + ": " + std::strerror(errno);
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
        // O_APPEND leaves the descriptor unreadable; a second one reads the last byte.
        const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        char last = '\n';
        if (reader >= 0) {
            if (::pread(reader, &last, 1, st.st_size - 1) != 1) last = '\n';
            ::close(reader);
        }
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
