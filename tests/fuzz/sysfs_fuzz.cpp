// The sysfs scan over generated trees: the input is a little program that builds class/tty
// entries, device folders, attribute files, driver links, udev records and symbolic links (loops
// and escapes included) in a scratch folder, which the registry then scans for serial adapters
// and the serial-device scan describes.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/host_facts.h"
#include "platform/winreg.h"

namespace fs = std::filesystem;

namespace {

fs::path g_scratch;
fs::path g_root;  // g_scratch/sys

void Require(bool ok) {
    if (!ok) std::abort();
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    std::uint8_t next() { return at < size ? data[at++] : 0; }
};

const char* const kParts[] = {"devices", "usb1", "1-1",    "1-1:1.0", "pcmcia", "..",
                              ".",       "tty",  "a",      "b",       "c",      "x y",
                              "\xff",    "",     "device", "class"};
const char* const kTty[] = {"ttyUSB0", "ttyS0", "ttyACM1", "ttyUSB10", "..", "a"};
const char* const kFiles[] = {"manufacturer", "product",       "prod_id1", "prod_id2",
                              "idVendor",     "latency_timer", "dev",      "type"};
const char* const kBuses[] = {"usb", "usb-serial", "serial-base", "pnp"};
const char* const kDrivers[] = {"ftdi_sio", "ch341", "cdc_acm", ""};
const char* const kRecords[] = {"c188:0", "c188:1", "c166:0", "c4:64"};

// Whether `p`, links followed, stays in the scratch folder's sysfs: the links the input makes
// may point anywhere, and nothing may be created outside.
bool Inside(const fs::path& p) {
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(p, ec);
    if (ec) return false;
    const std::string r = real.string(), root = g_root.string();
    return r.compare(0, root.size(), root) == 0 &&
           (r.size() == root.size() || r[root.size()] == '/');
}

// Up to eight path parts below `base`.
fs::path Path(Reader& in, const fs::path& base) {
    fs::path p = base;
    const int parts = in.next() % 8;
    for (int i = 0; i < parts; ++i) p /= kParts[in.next() % 16];
    return p;
}

void Build(Reader& in) {
    std::error_code ec;
    const fs::path devices = g_root / "devices";
    const fs::path ttys = g_root / "class" / "tty";
    fs::create_directories(devices, ec);
    fs::create_directories(ttys, ec);
    for (int op = 0; op < 64 && in.more(); ++op) {
        switch (in.next() % 7) {
            case 0: {  // a device folder
                const fs::path dir = Path(in, devices);
                if (Inside(dir)) fs::create_directories(dir, ec);
                break;
            }
            case 1: {  // an attribute file with whatever bytes follow
                const fs::path dir = Path(in, devices);
                const fs::path file = dir / kFiles[in.next() % 8];
                std::string text;
                for (int n = in.next() % 80; n > 0 && in.more(); --n)
                    text += static_cast<char>(in.next());
                if (!Inside(file)) break;
                fs::create_directories(dir, ec);
                std::ofstream(file, std::ios::binary) << text;
                break;
            }
            case 2: {  // a tty whose device link points somewhere, maybe nowhere
                const fs::path tty = ttys / kTty[in.next() % 6];
                const fs::path target = Path(in, "../../../devices");
                if (!Inside(tty / "device")) break;
                fs::create_directories(tty, ec);
                fs::create_symlink(target, tty / "device", ec);
                break;
            }
            case 3: {  // a tty that is itself a link
                const fs::path tty = ttys / kTty[in.next() % 6];
                const fs::path target = Path(in, "../../devices");
                if (Inside(tty)) fs::create_symlink(target, tty, ec);
                break;
            }
            case 4: {  // a link among the devices: loops and escapes
                const fs::path at = Path(in, devices);
                const fs::path target = Path(in, "..");
                if (!Inside(at)) break;
                fs::create_directories(at.parent_path(), ec);
                fs::create_symlink(target, at, ec);
                break;
            }
            case 5: {  // a driver link: only the bus and name it names count, not where it leads
                const fs::path dir = Path(in, devices);
                const char* bus = kBuses[in.next() % 4];
                const char* driver = kDrivers[in.next() % 4];
                const fs::path target = fs::path("../../bus") / bus / "drivers" / driver;
                if (!Inside(dir / "driver")) break;
                fs::create_directories(dir, ec);
                fs::create_symlink(target, dir / "driver", ec);
                break;
            }
            default: {  // udev's record of a device number, with whatever bytes follow
                const fs::path file = g_scratch / "run/udev/data" / kRecords[in.next() % 4];
                std::string text;
                for (int n = in.next() % 80; n > 0 && in.more(); --n)
                    text += static_cast<char>(in.next());
                fs::create_directories(file.parent_path(), ec);
                std::ofstream(file, std::ios::binary) << text;
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/vantra-sysfs-fuzz-XXXXXX";
    Require(::mkdtemp(pattern) != nullptr);
    g_scratch = pattern;
    g_root = g_scratch / "sys";
    platform::SetSystemRoot(pattern);
    ::unsetenv("VANTRA_REGISTRY");
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_scratch, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::error_code ec;
    fs::remove_all(g_root, ec);
    fs::remove_all(g_scratch / "run", ec);
    fs::create_directories(g_root, ec);
    Reader in{data, size};
    Build(in);

    HKEY active = nullptr;
    Require(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active) ==
            ERROR_SUCCESS);
    WCHAR name[512];
    for (DWORD i = 0;; ++i) {
        DWORD chars = 512;
        const LONG rc = RegEnumKeyExW(active, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        Require(rc == ERROR_SUCCESS && i < 64);
        HKEY sub = nullptr;
        Require(RegOpenKeyExW(active, name, 0, KEY_READ, &sub) == ERROR_SUCCESS);
        // Every adapter found names a /dev node; its product text may be anything.
        WCHAR value[256];
        DWORD bytes = 511;
        Require(RegQueryValueExW(sub, u"Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(value),
                                 &bytes) == ERROR_SUCCESS);
        Require(bytes > 12 && std::u16string(value, 5) == u"/dev/");
        bytes = 511;
        const LONG pnp = RegQueryValueExW(sub, u"PnpId", nullptr, nullptr,
                                          reinterpret_cast<LPBYTE>(value), &bytes);
        Require(pnp == ERROR_SUCCESS || pnp == ERROR_MORE_DATA);
        RegCloseKey(sub);
    }
    RegCloseKey(active);

    // Every serial device described names a /dev node, and only /dev names for it.
    for (const platform::SerialDevice& d : platform::ScanSerialDevices()) {
        Require(d.node.size() > 5 && d.node.compare(0, 5, "/dev/") == 0);
        Require(d.latencyTimerMs >= -1 && d.latencyTimerMs <= 255);
        Require(d.inUdevDatabase || (d.links.empty() && !d.modemManagerIgnores));
        for (const std::string& link : d.links) Require(link.compare(0, 5, "/dev/") == 0);
    }
    platform::SerialDevice found;
    platform::FindSerialDevice("/dev/ttyUSB0", &found);
    return 0;
}
