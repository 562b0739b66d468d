#include "transport/port_discovery.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/message_box.h"
#include "platform/text.h"
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
        bool found = false;
        if (std::strncmp(g_szPnpId, "Quatech", 7) == 0) {
            found = TakePortName(sub, names[count]);
        } else if (std::strncmp(g_szPnpId, "CF-Serial_I-O", 13) == 0) {
            found = TakePortName(sub, names[count]);
        }
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

// Without a word here a technician who sees "0.00" cannot tell which port was tried.
void LogChoice() {
    char note[32];
    const char* device = DeviceNote(g_szPortName, note, sizeof note);
    switch (g_portSource) {
        case PortSource::Named:
            std::fprintf(stderr, "%s: trying port %s%s, named by %s\n",
                         program_invocation_short_name, g_szPortName, device, g_szNamedBy);
            break;
        case PortSource::Adapter:
            std::fprintf(stderr, "%s: trying port %s%s, adapter \"%s\" in the driver list\n",
                         program_invocation_short_name, g_szPortName, device, g_szMatchedPnpId);
            break;
        case PortSource::Fallback:
            std::fprintf(stderr,
                         "%s: trying port %s%s, the fallback: no Quatech or CF-Serial_I-O adapter "
                         "found and no port named (--port, VANTRA_PORT)\n",
                         program_invocation_short_name, g_szPortName, device);
            break;
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
    std::fprintf(stderr, "%s: %s %s%s: %s\n", program_invocation_short_name, what, g_szPortName,
                 DeviceNote(g_szPortName, note, sizeof note), text);
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

bool OpenPort() {
    std::strcpy(g_szPortName, "COM1:");
    g_portSource = PortSource::Fallback;
    if (g_szNamedPort[0] != 0) {
        // As a matching entry at the head of the driver list would: it wins, opened or not.
        std::memcpy(g_szPortName, g_szNamedPort, sizeof g_szPortName);
        g_portSource = PortSource::Named;
    } else if (FindAdapterPorts(&g_szPortName, 1) == 1) {
        g_portSource = PortSource::Adapter;
    }
    LogChoice();

    WCHAR wideName[kPortNameBytes];
    platform::WidenText(g_szPortName, wideName, kPortNameBytes);
    HANDLE port = CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        LogFailure("cannot open");
        platform::ShowUserMessage(u"Cannot Open Connection To Board.", MB_OK);
        return false;
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
        CloseHandle(port);
        g_hPort.store(INVALID_HANDLE_VALUE);
        platform::ShowUserMessage(u"Could not SetCommState", MB_OK);
        return false;
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
    return true;
}
