#include "transport/port_discovery.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "platform/winreg.h"
#include "platform/winserial.h"
#include "transport/serial_transport.h"

char g_szPortName[kPortNameBytes] = "COM1:";
PortSource g_portSource = PortSource::Fallback;

namespace {

constexpr DWORD kKeyNameChars = 512;
constexpr DWORD kValueCapacityBytes = 511;
// An enumeration that never reports the end (a broken key) still has to stop somewhere; no
// handheld has this many drivers.
constexpr DWORD kMaxDriverKeys = 1024;

WCHAR g_szKeyName[kKeyNameChars];
WCHAR g_szValue[512];
char g_szPnpId[256];

char g_szNamedPort[kPortNameBytes];  // empty: none named
char g_szNamedBy[32];
char g_szMatchedPnpId[256];  // the adapter the port was taken from

// Keeps the low byte of each 16-bit character, up to the first zero or the end of the `bytes`
// returned; `out` has room for `capacity` bytes. False when the text does not fit.
bool Narrow(const WCHAR* value, DWORD bytes, char* out, std::size_t capacity) {
    const std::size_t chars = bytes / sizeof(WCHAR);
    std::size_t n = 0;
    for (; n < chars && value[n] != 0; ++n) {
        if (n + 1 >= capacity) {
            out[0] = 0;
            return false;
        }
        out[n] = static_cast<char>(value[n] & 0xFF);
    }
    out[n] = 0;
    return true;
}

// Reads string value `name` of `key` into g_szValue with the full capacity.
bool QueryText(HKEY key, const WCHAR* name, DWORD* bytes) {
    DWORD type = 0;
    *bytes = kValueCapacityBytes;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(g_szValue),
                            bytes) == static_cast<LONG>(ERROR_SUCCESS);
}

// The subkey's "Name" becomes the port name; a name too long for it is not used at all, since
// a shortened path could name a different device.
bool TakePortName(HKEY key, char (&out)[kPortNameBytes]) {
    DWORD bytes = 0;
    if (!QueryText(key, u"Name", &bytes)) return false;
    char name[kPortNameBytes];
    if (!Narrow(g_szValue, bytes, name, sizeof name)) return false;
    std::memcpy(out, name, sizeof name);
    return true;
}

}  // namespace

bool IsSupportedAdapter(const char* pnpId) {
    return std::strncmp(pnpId, "Quatech", 7) == 0 || std::strncmp(pnpId, "CF-Serial_I-O", 13) == 0;
}

bool IsUsbSerialBridge(const platform::SerialDevice& device) {
    // ch341's tty side is "ch341-uart"; the module, bound to the USB interface, is "ch341".
    static const char* const kBridgeDrivers[] = {"ftdi_sio", "pl2303", "cp210x", "ch341",
                                                 "ch341-uart"};
    if (device.bus != "usb") return false;
    return std::any_of(std::begin(kBridgeDrivers), std::end(kBridgeDrivers),
                       [&](const char* name) { return device.driver == name; });
}

std::size_t FindAdapterPorts(char (*names)[kPortNameBytes], std::size_t capacity) {
    std::size_t count = 0;
    if (capacity == 0) return 0;
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active) !=
        static_cast<LONG>(ERROR_SUCCESS))
        return 0;
    for (DWORD index = 0; index < kMaxDriverKeys; ++index) {
        DWORD nameChars = kKeyNameChars;
        LONG rc = RegEnumKeyExW(active, index, g_szKeyName, &nameChars, nullptr, nullptr, nullptr,
                                nullptr);
        if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
        if (rc != static_cast<LONG>(ERROR_SUCCESS)) continue;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(active, g_szKeyName, 0, KEY_READ, &sub) !=
            static_cast<LONG>(ERROR_SUCCESS))
            continue;
        DWORD bytes = 0;
        if (!QueryText(sub, u"PnpId", &bytes)) {
            RegCloseKey(sub);
            continue;
        }
        Narrow(g_szValue, bytes, g_szPnpId, sizeof g_szPnpId);
        const bool found = IsSupportedAdapter(g_szPnpId) && TakePortName(sub, names[count]);
        RegCloseKey(sub);
        if (found) {
            // The first match is the one a single-port caller opens: remember what matched.
            if (count == 0) std::memcpy(g_szMatchedPnpId, g_szPnpId, sizeof g_szMatchedPnpId);
            if (++count == capacity) break;
        }
    }
    RegCloseKey(active);
    return count;
}

namespace {

// "COM1:" alone tells a Linux user nothing: say which device it stands for.
const char* DeviceNote(const char* name, char* buffer, std::size_t capacity) {
    unsigned number = 0;
    char colon = 0;
    if (std::sscanf(name, "COM%u%c", &number, &colon) >= 1 && number > 0 && number < 1000) {
        std::snprintf(buffer, capacity, " (/dev/ttyS%u)", number - 1);
        return buffer;
    }
    return "";
}

constexpr char kNoAdapter[] =
    "no Quatech or CF-Serial_I-O adapter found and no port named (--port, VANTRA_PORT)";

// An upgrade's acknowledgements: one per 128-byte block of the 68500-byte image.
constexpr int kAcknowledgementsPerUpgrade = 536;

// "ftdi_sio, USB 0403:6001, FTDI FT232R USB UART": what a bridge is, escaped.
std::string DescribeBridge(const platform::SerialDevice& d) {
    std::string text = d.driver + ", USB " + d.vendorId + ":" + d.productId;
    const std::string names =
        d.maker + (d.maker.empty() || d.product.empty() ? "" : " ") + d.product;
    if (!names.empty()) text += ", " + names;
    return platform::EscapeText(text);
}

// Without a word here a technician who sees "0.00" cannot tell which port was tried.
void LogChoice(const PortChoice& choice) {
    char note[32];
    std::fprintf(stderr, "%s: trying port %s%s, %s\n", program_invocation_short_name,
                 platform::EscapeText(choice.name).c_str(),
                 DeviceNote(choice.name, note, sizeof note), choice.reason.c_str());
}

// Said once the port is open, so it reflects what the driver granted when asked for low latency.
void LogSlowAdapter() {
    platform::SerialDevice device;
    SlowAdapter slow;
    if (platform::FindSerialDevice(PortDevicePath(g_szPortName), &device) &&
        FindSlowAdapter(device, &slow)) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, slow.text.c_str());
    }
}

void LogFailure(const char* what) {
    WCHAR wide[256];
    char text[256] = "unknown error";
    const DWORD error = GetLastError();
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, wide, 256, nullptr) != 0)
        Narrow(wide, sizeof wide, text, sizeof text);
    char note[32];
    std::fprintf(stderr, "%s: %s %s%s: %s\n", program_invocation_short_name, what,
                 platform::EscapeText(g_szPortName).c_str(),
                 DeviceNote(g_szPortName, note, sizeof note), text);
}

void ShowOpenFailure(PortOpen outcome) {
    WCHAR text[64];
    platform::WidenText(PortOpenMessage(outcome), text, sizeof text / sizeof text[0]);
    platform::ShowUserMessage(text, MB_OK);
}

}  // namespace

bool SetNamedPort(const char* name, const char* origin) {
    if (name == nullptr) {
        g_szNamedPort[0] = 0;
        return true;
    }
    const std::size_t length = std::strlen(name);
    if (length == 0 || length >= kPortNameBytes) return false;
    std::memcpy(g_szNamedPort, name, length + 1);
    std::snprintf(g_szNamedBy, sizeof g_szNamedBy, "%s", origin ? origin : "the user");
    return true;
}

std::string UserPortName(const char* typed) {
    if (typed[0] == 0 || typed[0] == '/' || std::strncmp(typed, "COM", 3) == 0) return typed;
    return std::string("/dev/") + typed;
}

PortChoice ChoosePort(bool allDevices) {
    PortChoice choice;
    bool scanned = false;
    auto scan = [&] {
        if (scanned) return;
        scanned = true;
        choice.devices = platform::ScanSerialDevices();
        for (const platform::SerialDevice& d : choice.devices) {
            if (IsUsbSerialBridge(d)) choice.bridges.push_back(d.node);
        }
    };
    if (allDevices) scan();
    if (g_szNamedPort[0] != 0) {
        // As a matching entry at the head of the driver list would: it wins, opened or not.
        std::memcpy(choice.name, g_szNamedPort, sizeof choice.name);
        choice.source = PortSource::Named;
        choice.rule = "named";
        choice.reason = std::string("named by ") + g_szNamedBy;
    } else if (FindAdapterPorts(&choice.name, 1) == 1) {
        choice.source = PortSource::Adapter;
        choice.rule = "adapter";
        choice.reason =
            "adapter \"" + platform::EscapeText(g_szMatchedPnpId) + "\" in the driver list";
    } else {
        scan();
        // A bare cable is most likely the one to the board; an instrument of another kind
        // (CDC-ACM) or a choice between two cables is not guessed at.
        const auto bridge =
            std::find_if(choice.devices.begin(), choice.devices.end(), [&](const auto& d) {
                return choice.bridges.size() == 1 && d.node == choice.bridges[0];
            });
        if (bridge != choice.devices.end() && bridge->node.size() < sizeof choice.name) {
            std::memcpy(choice.name, bridge->node.c_str(), bridge->node.size() + 1);
            choice.source = PortSource::Bridge;
            choice.rule = "bridge";
            choice.reason =
                "the one USB-serial bridge (" + DescribeBridge(*bridge) + "): " + kNoAdapter;
        }
    }
    if (choice.source == PortSource::Fallback) {
        choice.rule = "fallback";
        choice.reason = std::string("the fallback: ") + kNoAdapter;
        if (choice.bridges.size() > 1) {
            std::string list;
            for (const std::string& node : choice.bridges)
                list += (list.empty() ? "" : ", ") + platform::EscapeText(node);
            choice.reason += "; " + std::to_string(choice.bridges.size()) +
                             " USB-serial bridges are plugged in (" + list +
                             "), so none is chosen: name the board's with --port";
        }
    }
    return choice;
}

bool IsThePort(const platform::SerialDevice& device, const PortChoice& choice) {
    const std::string path = PortDevicePath(choice.name);
    if (device.node == path) return true;
    struct stat st {};
    return device.hasNumber && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           ::major(st.st_rdev) == device.major && ::minor(st.st_rdev) == device.minor;
}

std::string WhyThisPort(const platform::SerialDevice& device, const PortChoice& choice) {
    const bool supported = IsSupportedAdapter(
        (device.product.empty() ? device.maker : device.maker + "-" + device.product).c_str());
    if (IsThePort(device, choice)) {
        switch (choice.source) {
            case PortSource::Named:
                return std::string("yes: named by ") + g_szNamedBy;
            case PortSource::Adapter:
                return "yes: a supported adapter, the first in the driver list";
            case PortSource::Bridge:
                return "yes: the one USB-serial bridge, and no supported adapter is plugged in";
            case PortSource::Fallback:
                return "yes: it is COM1:, the fallback when nothing else is found";
        }
    }
    const std::string chosen = platform::EscapeText(choice.name);
    switch (choice.source) {
        case PortSource::Named:
            return "no: " + chosen + " is named by " + g_szNamedBy;
        case PortSource::Adapter:
            return supported ? "no: a supported adapter, but " + chosen +
                                   " comes before it in the driver list (--all upgrades both)"
                             : "no: " + chosen + ", a supported adapter, goes first";
        default:
            break;
    }
    if (IsUsbSerialBridge(device)) {
        return "no: one of " + std::to_string(choice.bridges.size()) +
               " USB-serial bridges; which one leads to the board cannot be told, so name it "
               "with --port";
    }
    return "no: neither a supported adapter (maker and product starting with Quatech or "
           "CF-Serial_I-O) nor a USB-serial bridge (driver " +
           (device.driver.empty() ? std::string("unknown") : platform::EscapeText(device.driver)) +
           ")";
}

std::string PortDevicePath(const char* name) {
    unsigned number = 0;
    if (name[0] != '/' && std::sscanf(name, "COM%u", &number) == 1 && number > 0)
        return "/dev/ttyS" + std::to_string(number - 1);
    return name;
}

bool FindSlowAdapter(const platform::SerialDevice& device, SlowAdapter* slow) {
    if (device.latencyTimerMs <= 1) return false;
    slow->timerMs = device.latencyTimerMs;
    slow->secondsAdded = kAcknowledgementsPerUpgrade * device.latencyTimerMs / 1000.0;
    // The live path, whatever tree was read: the command is for this machine.
    slow->fix = "echo 1 | sudo tee " +
                platform::ShellWord("/sys/class/tty/" + device.tty + "/device/latency_timer");
    char text[160];
    std::snprintf(text, sizeof text,
                  "the adapter's latency timer is %d ms, which adds about %.1f s to an upgrade "
                  "(%d acknowledgements, each held back up to %d ms). Set it to 1 ms: ",
                  slow->timerMs, slow->secondsAdded, kAcknowledgementsPerUpgrade, slow->timerMs);
    slow->text = platform::EscapeText(device.node) + ": " + text + platform::EscapeText(slow->fix);
    return true;
}

const char* PortOpenMessage(PortOpen outcome) {
    switch (outcome) {
        case PortOpen::Opened:
            return nullptr;
        case PortOpen::CannotOpen:
            return "Cannot Open Connection To Board.";
        case PortOpen::LineSettingsRefused:
            return "Could not SetCommState";
    }
    return nullptr;
}

PortOpenResult OpenPort() {
    const PortChoice choice = ChoosePort();
    std::memcpy(g_szPortName, choice.name, sizeof g_szPortName);
    g_portSource = choice.source;
    LogChoice(choice);

    WCHAR wideName[kPortNameBytes];
    platform::WidenText(g_szPortName, wideName, kPortNameBytes);
    HANDLE port = CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();  // before the log line's own calls can change it
        LogFailure("cannot open");
        platform::TraceText(platform::TraceKind::PortFailed, g_szPortName, "open");
        ShowOpenFailure(PortOpen::CannotOpen);
        return {PortOpen::CannotOpen, error};
    }

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Flow control off, DTR off, RTS held on; binary, parity checking, continue-on-XOFF,
    // error character and abort-on-error stay as the port has them.
    constexpr DWORD kCleared = DCB_fOutxCtsFlow | DCB_fOutxDsrFlow | DCB_fDtrControlMask |
                               DCB_fDsrSensitivity | DCB_fOutX | DCB_fInX | DCB_fNull |
                               (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift);
    static_assert(~kCleared == 0xFFFFD483u);
    dcb.Flags = (dcb.Flags & ~kCleared) | (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
    SetupComm(port, 4096, 1024);
    if (!SetCommState(port, &dcb)) {
        LogFailure("line settings refused by");
        platform::TraceText(platform::TraceKind::PortFailed, g_szPortName, "line-settings");
        CloseHandle(port);
        g_hPort.store(INVALID_HANDLE_VALUE);
        ShowOpenFailure(PortOpen::LineSettingsRefused);
        return {PortOpen::LineSettingsRefused, 0};
    }
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(port, &timeouts);
    PurgeComm(port, PURGE_TXCLEAR);
    PurgeComm(port, PURGE_RXCLEAR);
    g_hPort.store(port);
    platform::TraceText(platform::TraceKind::PortOpened, g_szPortName);
    if (platform::Tracing())
        platform::TraceText(platform::TraceKind::PortRule, choice.rule + " " + choice.reason);
    platform::Trace(platform::TraceKind::LineSettings,
                    {static_cast<LONGLONG>(dcb.BaudRate), dcb.ByteSize, dcb.Parity,
                     dcb.StopBits == ONESTOPBIT ? 1 : 2, platform::GetWireBaud(port)});
    LogSlowAdapter();
    return {PortOpen::Opened, 0};
}
