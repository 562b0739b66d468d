#include "tests/support/sys_tree.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/pty_helpers.h"

namespace testutil {

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string Underscored(std::string s) {
    std::replace(s.begin(), s.end(), ' ', '_');
    return s;
}

}  // namespace

SysTree::SysTree() : root(TempPath("sysroot")) {
    fs::create_directories(fs::path(root) / "sys" / "class" / "tty");
    fs::create_directories(fs::path(root) / "proc");
}

SysTree::~SysTree() {
    std::error_code ec;
    fs::remove_all(root, ec);
}

void SysTree::Add(const UsbSerial& d) {
    const fs::path sys = fs::path(root) / "sys";
    const fs::path usb = sys / "devices/pci0000:00/0000:00:14.0/usb1" / d.port;
    const fs::path interface = usb / (d.port + ":1.0");
    Write(usb / "idVendor", d.vendor + "\n");
    Write(usb / "idProduct", d.product + "\n");
    if (!d.maker.empty()) Write(usb / "manufacturer", d.maker + "\n");
    if (!d.productName.empty()) Write(usb / "product", d.productName + "\n");
    if (!d.serial.empty()) Write(usb / "serial", d.serial + "\n");
    fs::create_directories(interface);
    fs::create_symlink(sys / "bus/usb/drivers" / d.driver, interface / "driver");
    // CDC-ACM's tty hangs off the interface itself; a USB-serial driver adds a port device.
    fs::path device = interface;
    if (d.driver != "cdc_acm") {
        device = interface / d.tty;
        fs::create_directories(device);
        fs::create_symlink(sys / "bus/usb-serial/drivers" / d.driver, device / "driver");
    }
    if (d.latency >= 0) Write(device / "latency_timer", std::to_string(d.latency) + "\n");
    const fs::path entry = sys / "class/tty" / d.tty;
    fs::create_directories(entry);
    fs::create_directory_symlink(device, entry / "device");
    std::string node = "/dev/" + d.tty;
    std::replace(node.begin(), node.end(), '!', '/');
    const std::string number = d.number.empty() ? DeviceNumber(node) : d.number;
    if (number.empty()) return;
    Write(entry / "dev", number + "\n");
    if (!d.udev) return;
    std::string record = "S:serial/by-id/usb-" + Underscored(d.maker) + "_" +
                         Underscored(d.productName) + "_" + d.serial + "-if00-port0\n" +
                         "S:serial/by-path/pci-0000:00:14.0-usb-0:" + d.port.substr(2) +
                         ":1.0-port0\n";
    if (d.mmIgnore) record += "E:ID_MM_DEVICE_IGNORE=1\n";
    Write(fs::path(root) / "run/udev/data" / ("c" + number), record);
}

void SysTree::Remove(const UsbSerial& d) {
    const fs::path sys = fs::path(root) / "sys";
    // The class entry first: a look at the tree meanwhile finds no device, not half of one.
    fs::remove_all(sys / "class/tty" / d.tty);
    fs::remove_all(sys / "devices/pci0000:00/0000:00:14.0/usb1" / d.port);
    std::string node = "/dev/" + d.tty;
    std::replace(node.begin(), node.end(), '!', '/');
    const std::string number = d.number.empty() ? DeviceNumber(node) : d.number;
    if (!number.empty()) fs::remove(fs::path(root) / "run/udev/data" / ("c" + number));
}

void SysTree::AddProcess(pid_t pid, const std::string& name, const std::vector<std::string>& open) {
    const fs::path dir = fs::path(root) / "proc" / std::to_string(pid);
    Write(dir / "comm", name + "\n");
    fs::create_directories(dir / "fd");
    int fd = 3;
    for (const std::string& target : open)
        fs::create_symlink(target, dir / "fd" / std::to_string(fd++));
}

void SysTree::AddFile(const std::string& path, const std::string& text) {
    Write(fs::path(root) / path, text);
}

void SysTree::OpenToAll() {
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        if (!it->is_symlink()) ::chmod(it->path().c_str(), it->is_directory() ? 0755 : 0644);
    }
    ::chmod(root.c_str(), 0755);
}

std::string SysfsName(const std::string& node) {
    std::string name = node.substr(5);  // past "/dev/"
    std::replace(name.begin(), name.end(), '/', '!');
    return name;
}

std::string DeviceNumber(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return "";
    return std::to_string(::major(st.st_rdev)) + ":" + std::to_string(::minor(st.st_rdev));
}

}  // namespace testutil
