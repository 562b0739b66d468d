// A made-up machine for discovery and the doctor: sysfs, udev's database and rule folders,
// /proc and /etc/group in a temporary folder, read through platform::SetSystemRoot or
// vantra-flash --sysroot. The lowest layer is faked; everything above it runs for real.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

// A USB serial device as the kernel and udev would show it.
struct UsbSerial {
    std::string tty;      // "ttyUSB0"; "pts!3" puts a pty (/dev/pts/3) behind the description
    std::string driver;   // "ftdi_sio", "ch341", "cdc_acm", "quatech2"
    std::string vendor;   // "0403"
    std::string product;  // "6001"
    std::string maker;
    std::string productName;
    std::string serial;
    std::string port;       // the USB port path, "1-2"
    int latency = -1;       // the latency timer, -1 for none
    std::string number;     // "188:0"; "" for the device number of the node it names, if any
    bool udev = true;       // udev has a record of it, with by-id and by-path names
    bool mmIgnore = false;  // ... and ID_MM_DEVICE_IGNORE=1 in it
};

class SysTree {
public:
    SysTree();
    ~SysTree();
    SysTree(const SysTree&) = delete;
    SysTree& operator=(const SysTree&) = delete;

    void Add(const UsbSerial& device);
    // The device unplugged: gone from sysfs and udev's records, its USB port free again.
    void Remove(const UsbSerial& device);
    // A process in /proc: its name and the files its descriptors are open on.
    void AddProcess(pid_t pid, const std::string& name, const std::vector<std::string>& open = {});
    // A file below the root ("usr/lib/udev/rules.d/85-brltty.rules").
    void AddFile(const std::string& path, const std::string& text);
    // Lets other accounts read the whole tree (a test that runs the program as nobody).
    void OpenToAll();

    std::string root;
};

// "/dev/pts/3" as sysfs would name it: "pts!3".
std::string SysfsName(const std::string& node);
// The "major:minor" of a device node, or "" when it is not one.
std::string DeviceNumber(const std::string& node);

}  // namespace testutil
