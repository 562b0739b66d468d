#include "platform/host_facts.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

namespace platform {
namespace {

namespace fs = std::filesystem;

std::mutex g_rootLock;
std::string g_root;  // "" is "/"

// How far above a tty's device its adapter may sit: tty, interface, USB device on the way up.
constexpr int kMaxAncestors = 6;

constexpr unsigned kPtySlaveMajorFirst = 136;  // Unix98 pty slaves: majors 136 to 143
constexpr unsigned kPtySlaveMajorLast = 143;

// An attribute's first line, without the line end sysfs adds.
std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string s;
    if (!in || !std::getline(in, s)) return {};
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

bool IsNumber(const char* s) {
    if (*s == 0) return false;
    for (; *s != 0; ++s) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

// Where a `driver` link points; only its last part, the driver's name, and the bus it is on
// matter, so the link need not lead anywhere that exists.
std::string DriverLink(const fs::path& dir, bool* onUsb) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(dir / "driver", ec);
    if (ec) return {};
    const fs::path bus = target.parent_path().parent_path().filename();
    // The serial core's own layers ("port", "ctrl") say nothing about the hardware.
    if (bus == "serial-base") return {};
    // A USB interface's driver is the kernel module's own name ("ch341"); the tty side of some
    // is named otherwise ("ch341-uart").
    *onUsb = bus == "usb";
    return target.filename().string();
}

// udev's record of a device (/run/udev/data/c<major>:<minor>): "S:" lines are the links it made
// under /dev, "E:" lines its properties.
void ReadUdevRecord(SerialDevice& d) {
    char name[48];
    std::snprintf(name, sizeof name, "/run/udev/data/c%u:%u", d.major, d.minor);
    std::ifstream in(SystemPath(name));
    if (!in) return;
    d.inUdevDatabase = true;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("S:", 0) == 0 && line.size() > 2) {
            d.links.push_back("/dev/" + line.substr(2));
        } else if (line == "E:ID_MM_DEVICE_IGNORE=1") {
            d.modemManagerIgnores = true;
        }
    }
}

// The tty's device and what stands above it: the driver bound to it, and the USB device or PC
// Card (maker, product) it belongs to. `top` bounds the walk, so a link out of the tree ends it.
void ReadAncestors(fs::path dev, const fs::path& top, SerialDevice& d) {
    std::error_code ec;
    std::string firstDriver;
    for (int depth = 0; depth < kMaxAncestors && !dev.empty() && dev != top; ++depth) {
        const bool usbDevice = fs::exists(dev / "idVendor", ec);
        const bool card = fs::exists(dev / "prod_id1", ec);
        if (!usbDevice && d.driver.empty()) {
            bool onUsb = false;
            const std::string name = DriverLink(dev, &onUsb);
            if (onUsb) d.driver = name;
            if (firstDriver.empty()) firstDriver = name;
        }
        if (usbDevice || card || fs::exists(dev / "manufacturer", ec)) {
            d.maker = ReadLine(dev / "manufacturer");
            d.product = ReadLine(dev / "product");
            if (d.maker.empty()) d.maker = ReadLine(dev / "prod_id1");
            if (d.product.empty()) d.product = ReadLine(dev / "prod_id2");
            if (usbDevice) {
                d.bus = "usb";
                d.vendorId = ReadLine(dev / "idVendor");
                d.productId = ReadLine(dev / "idProduct");
                d.usbSerial = ReadLine(dev / "serial");
                d.usbPort = dev.filename().string();
            } else if (card) {
                d.bus = "pcmcia";
            }
            break;
        }
        if (dev == dev.parent_path()) break;
        dev = dev.parent_path();
    }
    if (d.driver.empty()) d.driver = firstDriver;
}

}  // namespace

void SetSystemRoot(const char* root) {
    std::string r = root != nullptr ? root : "";
    while (!r.empty() && r.back() == '/') r.pop_back();
    std::lock_guard lock(g_rootLock);
    g_root = r;
}

std::string SystemPath(const std::string& path) {
    std::lock_guard lock(g_rootLock);
    return g_root + path;
}

int OpenDeviceEvents() {
    // udev's own announcements (multicast group 2), sent once its rules have run: the device
    // node and its udev record are in place by then. The kernel's (group 1) come earlier.
    constexpr unsigned kUdevGroup = 2;
    if (SystemPath("") != "" || ::access("/run/udev/control", F_OK) != 0) return -1;
    const int fd =
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kUdevGroup;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void DrainDeviceEvents(int fd) {
    char buffer[8192];
    while (fd >= 0 && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

std::string SerialDevice::byPath() const {
    for (const std::string& link : links) {
        if (link.rfind("/dev/serial/by-path/", 0) == 0) return link;
    }
    return {};
}

namespace {

// The tty `tty` under `ttyClass`, if it has hardware behind it.
bool DescribeTty(const fs::path& ttyClass, const std::string& tty, const fs::path& top,
                 SerialDevice* out) {
    std::error_code ec;
    const fs::path entry = ttyClass / tty;
    const fs::path dev = fs::weakly_canonical(entry / "device", ec);
    if (ec || !fs::is_directory(dev, ec)) return false;  // a virtual terminal, a pty
    // The kernel keeps a serial port for every UART it might have; type 0 is none found.
    if (Exists(entry / "type") && ReadLine(entry / "type") == "0") return false;
    SerialDevice d;
    d.tty = tty;
    d.node = "/dev/" + tty;
    std::replace(d.node.begin(), d.node.end(), '!', '/');  // sysfs's stand-in for a "/"
    d.hasNumber = std::sscanf(ReadLine(entry / "dev").c_str(), "%u:%u", &d.major, &d.minor) == 2;
    const std::string latency = ReadLine(dev / "latency_timer");
    if (!latency.empty()) {
        char* end = nullptr;
        const long ms = std::strtol(latency.c_str(), &end, 10);
        if (*end == 0 && ms >= 0 && ms <= 255) d.latencyTimerMs = static_cast<int>(ms);
    }
    ReadAncestors(dev, top, d);
    if (d.hasNumber) ReadUdevRecord(d);
    *out = std::move(d);
    return true;
}

}  // namespace

std::vector<SerialDevice> ScanSerialDevices() {
    std::vector<SerialDevice> devices;
    std::error_code ec;
    const fs::path sys = SystemPath("/sys");
    const fs::path ttyClass = sys / "class" / "tty";
    std::vector<std::string> names;
    for (fs::directory_iterator it(ttyClass, ec), endIt; !ec && it != endIt; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    const fs::path top = fs::weakly_canonical(sys, ec);
    for (const std::string& tty : names) {
        SerialDevice d;
        if (DescribeTty(ttyClass, tty, top, &d)) devices.push_back(std::move(d));
    }
    return devices;
}

bool FindSerialDevice(const std::string& path, SerialDevice* device) {
    // Only the tty the path names is read, not every one: a stable name or another link is
    // followed to its node on this machine first; a copied tree's node is taken as given.
    std::string node = path;
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) != nullptr) node = real;
    if (node.rfind("/dev/", 0) != 0 || node.size() <= 5) return false;
    std::string tty = node.substr(5);
    std::replace(tty.begin(), tty.end(), '/', '!');
    std::error_code ec;
    const fs::path sys = SystemPath("/sys");
    return DescribeTty(sys / "class" / "tty", tty, fs::weakly_canonical(sys, ec), device);
}

std::vector<ProcessInfo> ListProcesses() {
    std::vector<ProcessInfo> processes;
    DIR* proc = ::opendir(SystemPath("/proc").c_str());
    if (proc == nullptr) return processes;
    while (dirent* entry = ::readdir(proc)) {
        if (!IsNumber(entry->d_name)) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        // The whole file, less the newline the kernel adds: a name may hold any other byte.
        std::ifstream in(SystemPath("/proc/" + std::to_string(pid) + "/comm"), std::ios::binary);
        std::string name((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!name.empty() && name.back() == '\n') name.pop_back();
        processes.push_back({pid, name.empty() ? "?" : name});
    }
    ::closedir(proc);
    std::sort(processes.begin(), processes.end(),
              [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return processes;
}

namespace {

// The pty index whose master `pidDir`/fd/`fd` is, or -1.
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

std::vector<ProcessInfo> FindDeviceHolders(const std::string& device) {
    std::vector<ProcessInfo> holders;
    // By device number where the node is here; by the path the process opened otherwise (a copy
    // of another machine's /proc).
    struct stat wanted {};
    const bool numbered = ::stat(device.c_str(), &wanted) == 0 && S_ISCHR(wanted.st_mode);
    const unsigned major = numbered ? ::major(wanted.st_rdev) : 0;
    const long ptyIndex =
        numbered && major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast
            ? static_cast<long>((major - kPtySlaveMajorFirst) * 256 + ::minor(wanted.st_rdev))
            : -1;
    const pid_t self = ::getpid();
    for (const ProcessInfo& process : ListProcesses()) {
        if (process.pid == self) continue;
        const std::string pidDir = SystemPath("/proc/" + std::to_string(process.pid));
        DIR* fds = ::opendir((pidDir + "/fd").c_str());
        if (fds == nullptr) continue;  // gone, or not ours to look into
        bool holds = false;
        bool farEnd = false;
        while (dirent* fd = ::readdir(fds)) {
            if (!IsNumber(fd->d_name)) continue;
            const std::string link = pidDir + "/fd/" + fd->d_name;
            struct stat st {};
            char target[4096];
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (numbered && ::stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == wanted.st_rdev) {
                holds = true;
            } else if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == device) {
                holds = true;
            } else if (ptyIndex >= 0 && PtyMasterIndex(pidDir, fd->d_name) == ptyIndex) {
                farEnd = true;
            }
        }
        ::closedir(fds);
        if (holds && !farEnd) holders.push_back(process);
    }
    return holders;
}

long ProcessOwner(pid_t pid) {
    struct stat st {};
    if (::stat(SystemPath("/proc/" + std::to_string(pid)).c_str(), &st) != 0) return -1;
    return static_cast<long>(st.st_uid);
}

std::vector<std::string> UdevRuleFiles() {
    std::vector<std::string> files;
    for (const char* dir :
         {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        std::error_code ec;
        for (fs::directory_iterator it(SystemPath(dir), ec), endIt; !ec && it != endIt;
             it.increment(ec)) {
            if (it->path().extension() == ".rules") files.push_back(it->path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<GroupEntry> ReadGroupFile() {
    std::vector<GroupEntry> groups;
    std::ifstream in(SystemPath("/etc/group"));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, ':');) fields.push_back(field);
        if (!line.empty() && line.back() == ':') fields.emplace_back();
        if (fields.size() != 4 || !IsNumber(fields[2].c_str())) continue;
        GroupEntry g;
        g.name = fields[0];
        g.gid = static_cast<gid_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
        std::stringstream members(fields[3]);
        for (std::string m; std::getline(members, m, ',');) {
            if (!m.empty()) g.members.push_back(m);
        }
        groups.push_back(std::move(g));
    }
    return groups;
}

bool ReadAccessAcl(const std::string& path, std::vector<AclEntry>* entries) {
    // The kernel's form of the attribute: a 4-byte version (2), then 8-byte entries of tag,
    // permissions and id, least significant byte first.
    unsigned char buffer[8 * 64 + 4];
    const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
    entries->clear();
    if (n < 4 || buffer[0] != 2) return false;
    bool extended = false;
    for (ssize_t at = 4; at + 8 <= n; at += 8) {
        const unsigned tag = buffer[at] | (buffer[at + 1] << 8);
        const unsigned perms = buffer[at + 2] & 7u;
        const unsigned id = buffer[at + 4] | (buffer[at + 5] << 8) | (buffer[at + 6] << 16) |
                            (static_cast<unsigned>(buffer[at + 7]) << 24);
        AclEntry::Tag t;
        switch (tag) {
            case 0x01:
                t = AclEntry::UserObj;
                break;
            case 0x02:
                t = AclEntry::User;
                break;
            case 0x04:
                t = AclEntry::GroupObj;
                break;
            case 0x08:
                t = AclEntry::Group;
                break;
            case 0x10:
                t = AclEntry::Mask;
                break;
            case 0x20:
                t = AclEntry::Other;
                break;
            default:
                continue;
        }
        extended = extended || t == AclEntry::User || t == AclEntry::Group || t == AclEntry::Mask;
        entries->push_back({t, id, perms});
    }
    return extended;
}

}  // namespace platform
