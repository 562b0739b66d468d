#include "cli/port_holders.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

constexpr unsigned kPtySlaveMajorFirst = 136;  // Unix98 pty slaves: majors 136 to 143
constexpr unsigned kPtySlaveMajorLast = 143;

bool IsNumber(const char* s) {
    if (*s == 0) return false;
    for (; *s != 0; ++s) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

std::string ProcessName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name.empty() ? "?" : name;
}

// The pty index whose master `fdPath` (/proc/PID/fd/N) is, or -1.
long PtyMasterIndex(const std::string& pidDir, const char* fd) {
    char target[64];
    const std::string link = pidDir + "/fd/" + fd;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return -1;
    target[n] = 0;
    if (std::strcmp(target, "/dev/ptmx") != 0 && std::strcmp(target, "/dev/pts/ptmx") != 0)
        return -1;
    std::ifstream info(pidDir + "/fdinfo/" + fd);
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("tty-index:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10);
    }
    return -1;
}

}  // namespace

std::string DevicePathOf(const std::string& portName) {
    if (!portName.empty() && portName[0] == '/') return portName;
    unsigned number = 0;
    if (std::sscanf(portName.c_str(), "COM%u", &number) == 1 && number > 0)
        return "/dev/ttyS" + std::to_string(number - 1);
    return portName;
}

std::vector<PortHolder> FindPortHolders(const std::string& device) {
    std::vector<PortHolder> holders;
    struct stat wanted {};
    if (::stat(device.c_str(), &wanted) != 0 || !S_ISCHR(wanted.st_mode)) return holders;
    const unsigned major = ::major(wanted.st_rdev);
    const long ptyIndex =
        major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast
            ? static_cast<long>((major - kPtySlaveMajorFirst) * 256 + ::minor(wanted.st_rdev))
            : -1;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return holders;
    const pid_t self = ::getpid();
    while (dirent* entry = ::readdir(proc)) {
        if (!IsNumber(entry->d_name)) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid == self) continue;
        const std::string pidDir = std::string("/proc/") + entry->d_name;
        DIR* fds = ::opendir((pidDir + "/fd").c_str());
        if (fds == nullptr) continue;  // gone, or not ours to look into
        bool holds = false;
        bool farEnd = false;
        while (dirent* fd = ::readdir(fds)) {
            if (!IsNumber(fd->d_name)) continue;
            struct stat st {};
            if (::stat((pidDir + "/fd/" + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == wanted.st_rdev) {
                holds = true;
            } else if (ptyIndex >= 0 && PtyMasterIndex(pidDir, fd->d_name) == ptyIndex) {
                farEnd = true;
            }
        }
        ::closedir(fds);
        if (holds && !farEnd) holders.push_back({pid, ProcessName(pid)});
    }
    ::closedir(proc);
    return holders;
}

std::string DescribeHolders(const std::vector<PortHolder>& holders) {
    std::string names;
    std::string pids;
    for (const PortHolder& h : holders) {
        if (!names.empty()) {
            names += ", ";
            pids += ", ";
        }
        names += h.name;
        pids += std::to_string(h.pid);
    }
    return names + (holders.size() == 1 ? " (pid " : " (pids ") + pids + ")";
}

std::string ExplainOpenFailure(const std::string& device, const std::string& systemText) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        return device + " does not exist: no adapter is plugged in there, or it is the wrong port.";
    }
    const std::vector<PortHolder> holders = FindPortHolders(device);
    if (!holders.empty()) {
        return device + " is in use by " + DescribeHolders(holders) +
               ". Close that program (or stop the service) and try again.";
    }
    if (::access(device.c_str(), R_OK | W_OK) != 0) {
        const group* g = ::getgrgid(st.st_gid);
        const std::string name = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            return "No permission to open " + device + ": it belongs to the group '" + name +
                   "'. Join it (sudo usermod -aG " + name + " $USER) and log in again.";
        }
        // Joining the group would not help a device its group may not open.
        const passwd* owner = ::getpwuid(st.st_uid);
        return "No permission to open " + device + ": only its owner (" +
               (owner != nullptr ? owner->pw_name : std::to_string(st.st_uid)) +
               ") may open it. A udev rule can give a group (usually dialout) read and write "
               "access to the adapter.";
    }
    return device + ": " + systemText +
           " (another program may hold the port where this account cannot see it)";
}
