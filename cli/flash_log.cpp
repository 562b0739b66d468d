#include "cli/flash_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/regular_file.h"

namespace {

// The log, opened for appending (platform/regular_file.h: a regular file only).
int OpenLog(const std::string& path, std::string* error) {
    return platform::OpenRegularFile(path, platform::FileStart::Append, "the record", error);
}

// Writes all of `record` at the end of the file, synced. False with errno set otherwise.
bool WriteSynced(int fd, const std::string& record) {
    std::size_t done = 0;
    while (done < record.size()) {
        const ssize_t n = ::write(fd, record.data() + done, record.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);  // a short write: the next one says why
    }
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
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
    // Signals are caught without SA_RESTART, so waiting for another board's record can be
    // interrupted; the record still has to go in.
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat st {};
    if (locked != 0 || ::fstat(fd, &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    std::string record = line;
    if (st.st_size > 0) {
        // A descriptor opened write-only cannot read back; its last line is taken as whole.
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
        if (last != '\n') record.insert(record.begin(), '\n');
    }
    const bool ok = WriteSynced(fd, record);
    if (!ok) {
        // Still under the lock, so nobody has appended behind the fragment: cut it off, so the
        // file ends as it did and the next record starts on a line of its own.
        const int err = errno;
        int cut;
        do {
            cut = ::ftruncate(fd, st.st_size);
        } while (cut != 0 && errno == EINTR);
        *error = path + ": " + std::strerror(err) + "; the record was not written";
        if (cut != 0) {
            *error += ", and what part of it went in could not be removed (" +
                      std::string(std::strerror(errno)) + ")";
        } else {
            ::fsync(fd);  // best effort: the cut is what the next reader should find
        }
    }
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
