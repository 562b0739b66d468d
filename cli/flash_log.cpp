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

// Read and write where the account may read it back (to see whether the last line is whole),
// else write only.
int OpenWith(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    return fd;
}

// A new file's name lives in its folder: until the folder is synced, a power cut can lose the
// file with every record synced into it.
bool SyncFolderOf(const std::string& path, std::string* error) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;  // a folder the account may not read cannot be synced; not fatal
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    // EINVAL: a file system that cannot sync a folder; its writes are as durable as they get.
    if (rc != 0 && err != EINVAL) {
        *error = folder + ": " + std::strerror(err) + " (syncing the folder of a new log)";
        return false;
    }
    return true;
}

// The log, opened for appending. Only a regular file will do: a symbolic link could turn the
// record against whoever writes it (an upgrade run as root appending to a file it points at), a
// FIFO with no reader would hang the upgrade, and a device such as a terminal would receive it.
// O_NONBLOCK keeps the open of a FIFO from waiting for a reader. A file this call creates has
// its folder synced.
int OpenLog(const std::string& path, std::string* error) {
    const int flags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool created = false;
    int fd = OpenWith(path, flags);
    while (fd < 0 && errno == ENOENT) {
        fd = OpenWith(path, flags | O_CREAT | O_EXCL);
        if (fd >= 0) {
            created = true;
        } else if (errno == EEXIST) {
            fd = OpenWith(path, flags);  // another board created it first
        } else {
            break;
        }
    }
    if (fd < 0) {
        const int err = errno;
        *error = err == ELOOP || err == EISDIR || err == ENXIO || err == EEXIST
                     ? NotAFile(path)
                     : path + ": " + std::strerror(err);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = NotAFile(path);
        ::close(fd);
        return -1;
    }
    if (created && !SyncFolderOf(path, error)) {
        ::close(fd);
        return -1;
    }
    return fd;
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
