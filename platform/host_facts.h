// What this machine says about its serial devices and the programs that may get in their way,
// read from sysfs, udev's database and rule folders, /proc and /etc/group. Everything is read
// below one root folder: "/" for the live machine, or a copy of another machine's trees (or a
// test's own), as `lscpu --sysroot` does. Device nodes and this process's own credentials are
// always the live ones.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// The folder standing for "/" when the trees above are read; nullptr or "" restores "/".
void SetSystemRoot(const char* root);
// `path` ("/sys/class/tty") below the root.
std::string SystemPath(const std::string& path);

// One tty with hardware behind it, as sysfs and udev describe it. Texts are the bytes the
// device reported: a person sees them only through platform::EscapeText.
struct SerialDevice {
    std::string tty;   // the name under /sys/class/tty ("ttyUSB0")
    std::string node;  // its device node ("/dev/ttyUSB0"; a "!" in the name is a "/")
    bool hasNumber = false;
    unsigned major = 0;
    unsigned minor = 0;
    std::string bus;          // "usb", "pcmcia", or "" for another (a UART on the board)
    std::string driver;       // the kernel module bound to it: "ftdi_sio", "cdc_acm", "serial8250"
    std::string maker;        // USB manufacturer or PC Card prod_id1
    std::string product;      // USB product or PC Card prod_id2
    std::string usbSerial;    // the USB device's serial number
    std::string vendorId;     // "0403"
    std::string productId;    // "6001"
    std::string usbPort;      // the USB port path, "1-2.3": which socket it is plugged into
    int latencyTimerMs = -1;  // -1: the driver has no latency timer
    std::vector<std::string> links;    // its stable names from udev ("/dev/serial/by-id/...")
    bool inUdevDatabase = false;       // udev has a record of it (/run/udev/data/c<major>:<minor>)
    bool modemManagerIgnores = false;  // that record sets ID_MM_DEVICE_IGNORE=1

    std::string byPath() const;  // the first /dev/serial/by-path/ name, or ""
};

// Every tty with hardware behind it (a device folder, and not a serial port the kernel found no
// UART for), sorted by name.
std::vector<SerialDevice> ScanSerialDevices();
// The device a port path opens ("/dev/ttyUSB0", or a stable name that links to it), read alone.
// False when sysfs does not describe it (a pty, a node without hardware).
bool FindSerialDevice(const std::string& path, SerialDevice* device);

// A descriptor that becomes readable when udev has added or removed a device, so a watcher of
// adapters looks at sysfs at once rather than at its next turn. -1 where udev does not run (a
// container) or the root is another machine's copy: sysfs is then only looked at. Drain each
// wake-up with DrainDeviceEvents; the events' content is not needed.
int OpenDeviceEvents();
void DrainDeviceEvents(int fd);

struct ProcessInfo {
    pid_t pid;
    std::string name;  // /proc/PID/comm, as the process set it
};
// Every process /proc shows.
std::vector<ProcessInfo> ListProcesses();
// Other processes with `device` open. A process holding the master of a pseudo-terminal is the
// line's far end (a simulated board), not a second user of the port, and is left out. Processes
// this account may not look into are not seen.
std::vector<ProcessInfo> FindDeviceHolders(const std::string& device);
// The owner's uid of /proc/PID, or -1.
long ProcessOwner(pid_t pid);

// The rule files udev reads (/etc/udev/rules.d, /run/udev/rules.d, /usr/lib/udev/rules.d,
// /lib/udev/rules.d), below the root.
std::vector<std::string> UdevRuleFiles();

struct GroupEntry {
    std::string name;
    gid_t gid = 0;
    std::vector<std::string> members;
};
// /etc/group below the root, as `usermod -aG` leaves it (not what this login was given).
std::vector<GroupEntry> ReadGroupFile();

// An entry of a device node's access ACL (system.posix_acl_access).
struct AclEntry {
    enum Tag { UserObj, User, GroupObj, Group, Mask, Other } tag;
    unsigned id;     // the uid or gid of User and Group entries
    unsigned perms;  // 4 read, 2 write, 1 execute
};
// False when the node has no ACL beyond its mode bits.
bool ReadAccessAcl(const std::string& path, std::vector<AclEntry>* entries);

}  // namespace platform
