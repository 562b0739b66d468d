#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// What stands at `path` when it is not a file `purpose` may go into.
std::string NotAFile(const std::string& path, const char* purpose) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
    const char* what = S_ISLNK(st.st_mode)                          ? "a symbolic link"
                       : S_ISDIR(st.st_mode)                        ? "a directory"
                       : S_ISFIFO(st.st_mode)                       ? "a FIFO"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                                    : "not a regular file";
    return path + ": is " + std::string(what) + "; " + purpose + " must go to a regular file";
}

int OpenWith(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    return fd;
}

// A new file's name lives in its folder: until the folder is synced, a power cut can lose the
// file with everything synced into it.
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
        *error = folder + ": " + std::strerror(err) + " (syncing the folder of a new file)";
        return false;
    }
    return true;
}

}  // namespace

// O_NONBLOCK keeps the open of a FIFO from waiting for a reader; O_TRUNC leaves anything but a
// regular file as it is, and the check after the open refuses it.
int OpenRegularFile(const std::string& path, FileStart start, const char* purpose,
                    std::string* error) {
    const int flags =
        (start == FileStart::Append ? O_APPEND : O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool created = false;
    int fd = OpenWith(path, flags);
    while (fd < 0 && errno == ENOENT) {
        fd = OpenWith(path, flags | O_CREAT | O_EXCL);
        if (fd >= 0) {
            created = true;
        } else if (errno == EEXIST) {
            fd = OpenWith(path, flags);  // another process created it first
        } else {
            break;
        }
    }
    if (fd < 0) {
        const int err = errno;
        *error = err == ELOOP || err == EISDIR || err == ENXIO || err == EEXIST
                     ? NotAFile(path, purpose)
                     : path + ": " + std::strerror(err);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = NotAFile(path, purpose);
        ::close(fd);
        return -1;
    }
    if (created && !SyncFolderOf(path, error)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace platform
