#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/afx/afxwin.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/trace.h"
#include "transport/port_discovery.h"
#include "ui/main_frame.h"
#include "ui/res/vantra_resources.h"
#include "upgrade/carried_firmware.h"

namespace {

constexpr char kUsage[] =
    "usage: vantra [--port DEVICE] [--trace FILE]\n"
    "Upgrades the firmware of a Tovrin instrument over a serial cable.\n"
    "\n"
    "  --port DEVICE  use this serial port, ahead of any adapter found: a path such as\n"
    "                 /dev/ttyUSB0, a name under /dev (ttyUSB0), or COMn: (COM1: is /dev/ttyS0)\n"
    "  --trace FILE   write every frame, acknowledgement decision, signal, bus call and the\n"
    "                 verdict to FILE, one timed line each (truncated first), for engineering\n"
    "  -h, --help     print this text and exit\n"
    "  --version      print the program's version, the firmware version it carries and the\n"
    "                 image's CRC-32, and exit\n"
    "\n"
    "Without --port the port is, in this order: the one named by VANTRA_PORT; the first\n"
    "adapter whose product starts with Quatech or CF-Serial_I-O, among the entries of the\n"
    "VANTRA_REGISTRY file and then the USB and PC-Card serial adapters of this machine;\n"
    "the one USB-serial bridge (FTDI, Prolific, Silicon Labs, WCH) if exactly one is\n"
    "plugged in; otherwise COM1: (/dev/ttyS0). On start-up the program says on standard\n"
    "error which port it tried and why, why it could not be opened, and when the adapter's\n"
    "latency timer slows the upgrade. vantra-flash --doctor says what stands in the way.\n"
    "\n"
    "Environment:\n"
    "  VANTRA_PORT      as --port, which overrides it\n"
    "  VANTRA_TRACE     as --trace, which overrides it; a file that cannot be opened is\n"
    "                   said on standard error and the program runs without a trace\n"
    "  VANTRA_REGISTRY  a registry-export (.reg) file with driver entries under\n"
    "                   HKEY_LOCAL_MACHINE\\Drivers\\Active (values PnpId and Name)\n"
    "\n"
    "Other arguments starting with a single dash go to Qt (-platform, -display, ...).\n";

int BadUsage(const char* fmt, const char* arg) {
    std::fprintf(stderr, "vantra: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\nTry 'vantra --help'.\n");
    return 2;
}

// --trace refuses a file it cannot write, as a usage error; VANTRA_TRACE, set for a window
// started from a menu, only says so: the upgrade still has to be possible.
bool OpenWindowTrace(const char* option) {
    const char* env = std::getenv("VANTRA_TRACE");
    const char* path = option != nullptr ? option : env != nullptr && *env != 0 ? env : nullptr;
    std::string error;
    if (path == nullptr || platform::OpenTrace(path, "vantra", &error)) return true;
    std::fprintf(stderr, "vantra: %s %s\n", option != nullptr ? "--trace" : "VANTRA_TRACE",
                 platform::EscapeText(error).c_str());
    return option == nullptr;
}

bool NamePort(const char* name, const char* origin) {
    if (name[0] == 0) return false;
    return SetNamedPort(UserPortName(name).c_str(), origin);
}

}  // namespace

int main(int argc, char** argv) {
    // Our own options are taken out; the rest goes to Qt and the framework, which would take a
    // leftover device path for a document to open.
    std::vector<char*> rest{argv[0]};
    const char* port = nullptr;
    const char* trace = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        // Before Qt, like --help: it needs no display.
        if (std::strcmp(arg, "--version") == 0) {
            platform::SetProgramResources(&VantraResources());
            std::fputs(("vantra " VANTRA_VERSION "\n" + CarriedFirmwareLine()).c_str(), stdout);
            return 0;
        }
        if (std::strcmp(arg, "--port") == 0) {
            if (i + 1 >= argc) return BadUsage("%s needs a device, such as /dev/ttyUSB0", arg);
            port = argv[++i];
        } else if (std::strncmp(arg, "--port=", 7) == 0) {
            port = arg + 7;
        } else if (std::strcmp(arg, "--trace") == 0 || std::strncmp(arg, "--trace=", 8) == 0) {
            if (arg[7] == 0 && i + 1 >= argc) return BadUsage("%s needs a file", arg);
            trace = arg[7] == 0 ? argv[++i] : arg + 8;
        } else if (std::strncmp(arg, "--", 2) == 0) {
            return BadUsage("unknown option %s", arg);
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (port != nullptr) {
        if (!NamePort(port, "--port"))
            return BadUsage("--port wants a device name of 1 to 127 characters, not '%s'", port);
    } else if (const char* env = std::getenv("VANTRA_PORT"); env != nullptr && *env != 0) {
        if (!NamePort(env, "VANTRA_PORT"))
            return BadUsage("VANTRA_PORT wants a device name of 1 to 127 characters, not '%s'",
                            env);
    }
    rest.push_back(nullptr);
    if (!OpenWindowTrace(trace)) {
        std::fprintf(stderr, "Try 'vantra --help'.\n");
        return 2;
    }

    platform::SetProgramResources(&VantraResources());
    const int status = AfxWinMain(static_cast<int>(rest.size()) - 1, rest.data());
    // The worker uses the device link and the decoder, which static destruction is about to
    // take away; a worker that will not stop must not outlive them.
    const bool stopped = StopLinkAtExit(2000);
    platform::CloseTrace();
    if (!stopped) ::_exit(status);
    return status;
}
