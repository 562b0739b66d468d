#include "cli/flash_options.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/flash_report.h"
#include "transport/port_discovery.h"
#include "upgrade/carried_firmware.h"

const char kFlashUsage[] =
    "usage: vantra-flash [--port DEVICE | --all] [--yes] [--json] [--log FILE] [--trace FILE]\n"
    "                    [--ignore-power] [--retries N] [--on-result CMD]\n"
    "       vantra-flash --station [--port DEVICE]... [--yes] [--json] [--log FILE] [--again]\n"
    "                    [--retries N] [--on-result CMD] [--ignore-power] [--sysroot DIR]\n"
    "       vantra-flash --report FILE [--json]\n"
    "       vantra-flash --doctor [--port DEVICE] [--json] [--sysroot DIR]\n"
    "\n"
    "Upgrades a Tovrin instrument's firmware over its serial adapter with the image this\n"
    "program carries, the same way the vantra window does on LOAD.\n"
    "\n"
    "  --port DEVICE  use DEVICE (/dev/ttyUSB0, COM1:) instead of looking for the adapter\n"
    "  --all          upgrade every matching adapter at once, each in its own process\n"
    "  --station      run until stopped, upgrading each board plugged into a matching adapter\n"
    "                 or a --port given (repeatable) once; adapters may come and go. With\n"
    "                 --log, a board the log says has this image already is skipped\n"
    "  --again        with --station: upgrade the boards the log says are done, too\n"
    "  --retries N    after a failed transfer, start again from block 0 up to N more times\n"
    "                 while the board still answers (0 to 20; default 0)\n"
    "  --on-result CMD  after each board's verdict, run CMD (split at spaces, no shell) with\n"
    "                 VANTRA_OUTCOME, VANTRA_EXIT, VANTRA_SERIAL and the rest in its\n"
    "                 environment; stopped after 10 s; it never changes a verdict\n"
    "  --report FILE  read a --log file: each board's latest outcome, the boards left with an\n"
    "                 incomplete image, and totals per day\n"
    "  -y, --yes      do not ask for confirmation before the transfer\n"
    "  --json         one JSON object per event on standard output (port, version, serial,\n"
    "                 warning, progress, error, outcome), each with \"time\" and \"elapsed\"\n"
    "  --log FILE     append one JSON line per board upgraded: port, serial, old and new\n"
    "                 version, image checksum, outcome, start time and duration; a\n"
    "                 \"started\" line before the first block, with the same upgrade_id\n"
    "  --trace FILE   write every byte frame, acknowledgement decision, signal, bus call and\n"
    "                 the verdict to FILE, one timed line each (truncated first); for\n"
    "                 engineering when an upgrade fails. VANTRA_TRACE=FILE does the same\n"
    "  --ignore-power start even when the computer runs on a battery below 10 %\n"
    "  --doctor       say which port would be used and why, and what stands in the way\n"
    "                 (permissions, programs holding or probing the port, brltty, a slow\n"
    "                 adapter), each with the command that fixes it; opens no port.\n"
    "                 Exit status 0 when the port would open and nothing is wrong, else 2\n"
    "  --sysroot DIR  read DIR/sys, DIR/run/udev, DIR/proc, DIR/etc/group and udev's rule\n"
    "                 folders below DIR instead of the live ones (a copy of another machine)\n"
    "  -h, --help     this text\n"
    "  --version      print the program's version, the firmware version it carries and the\n"
    "                 image's CRC-32 (as --log records it), and exit\n"
    "\n"
    "Without --port it finds the adapter as the window does: the first serial adapter whose\n"
    "product starts with Quatech or CF-Serial_I-O (VANTRA_REGISTRY adds a driver list), else\n"
    "the one USB-serial bridge (FTDI, Prolific, Silicon Labs, WCH) if exactly one is plugged\n"
    "in, else COM1: (/dev/ttyS0). Events, --log lines and --all's lines carry the adapter's\n"
    "USB serial number, physical path and vendor:product where it has them.\n"
    "\n"
    "After opening the port it waits 4 s for the board to settle, asks for its version and\n"
    "serial number (up to 4 s more), prints them with the warning and the new version, asks\n"
    "for confirmation, then sends the image in 128-byte blocks, each acknowledged within\n"
    "2 s. Progress goes to standard error: a bar on a terminal, a line every 10 %\n"
    "otherwise. When the port is in use it names the process that holds it.\n"
    "From the first block to the verdict the computer is kept from sleeping or shutting down,\n"
    "and SIGTERM, SIGHUP and Ctrl-Z wait for the verdict. Ctrl-C during the transfer warns; a\n"
    "second Ctrl-C within 5 s stops after the block in flight, the transfer then counts as\n"
    "failed, and the board must be upgraded again.\n"
    "\n"
    "Exit status:\n"
    "  0    Transfer Complete.\n"
    "  1    Transfer Failed. Sector did not write. (or not confirmed, or no image carried)\n"
    "  2    the port could not be found, opened or configured\n"
    "  3    no board answered\n"
    "  4    Battery Too Low. Connect The Charger Before Upgrading. (nothing was sent)\n"
    "  5    Transfer Complete., but the --log record could not be written\n"
    "  64   usage error, or the log file cannot be written\n"
    "  130  interrupted\n"
    "With --all: 0 only when every board completed; otherwise 130 if any was interrupted,\n"
    "else 1 if any transfer failed, else 4, 3, 2, 5 in that order.\n"
    "With --station: 0 when every board met completed or was skipped, 1 when any failed,\n"
    "130 when stopped in the middle of a transfer.\n"
    "With --doctor: 0 when the port would open and nothing stands in its way, else 2.\n";

bool ParseFlashOptions(int argc, char** argv, FlashOptions* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        // Both "--port X" and "--port=X".
        auto value = [&](const char* name, std::string* out) {
            const std::size_t n = std::strlen(name);
            if (std::strncmp(arg, name, n) != 0) return false;
            if (arg[n] == '=') {
                *out = arg + n + 1;
            } else if (arg[n] == 0 && i + 1 < argc) {
                *out = argv[++i];
            } else if (arg[n] == 0) {
                *error = std::string(name) + " needs a value";
                *out = "";
            } else {
                return false;
            }
            if (out->empty() && error->empty()) *error = std::string(name) + " needs a value";
            return true;
        };
        std::string port;
        std::string retries;
        if (std::strcmp(arg, "--all") == 0) {
            options->all = true;
        } else if (std::strcmp(arg, "--station") == 0) {
            options->station = true;
        } else if (std::strcmp(arg, "--station-socket") == 0) {
            options->stationSocket = true;
        } else if (std::strcmp(arg, "--again") == 0) {
            options->again = true;
        } else if (value("--port", &port)) {
            if (!error->empty()) return false;
            options->stationPorts.push_back(port);
        } else if (value("--retries", &retries)) {
            if (!error->empty()) return false;
            char* end = nullptr;
            const long n = std::strtol(retries.c_str(), &end, 10);
            if (*end != 0 || retries[0] == '-' || retries[0] == '+' || n < 0 || n > kMaxRetries) {
                *error = "--retries: a number from 0 to " + std::to_string(kMaxRetries);
                return false;
            }
            options->retries = static_cast<int>(n);
        } else if (std::strcmp(arg, "--yes") == 0 || std::strcmp(arg, "-y") == 0) {
            options->yes = true;
        } else if (std::strcmp(arg, "--ignore-power") == 0) {
            options->ignorePower = true;
        } else if (std::strcmp(arg, "--json") == 0) {
            options->json = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options->help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            options->version = true;
        } else if (std::strcmp(arg, "--doctor") == 0) {
            options->doctor = true;
        } else if (value("--log", &options->log) || value("--trace", &options->trace) ||
                   value("--sysroot", &options->sysroot) || value("--report", &options->report) ||
                   value("--on-result", &options->onResult)) {
            if (!error->empty()) return false;
        } else {
            *error = std::string("unknown option: ") + arg;
            return false;
        }
    }
    // One --port names the board; a station takes several, a socket each.
    if (!options->station && options->stationPorts.size() > 1) {
        *error = "--port given more than once (only --station takes several)";
        return false;
    }
    if (!options->station && options->stationPorts.size() == 1) {
        options->port = options->stationPorts.front();
        options->stationPorts.clear();
    }
    if (!options->report.empty() &&
        (options->all || options->station || options->doctor || options->yes ||
         options->ignorePower || options->again || options->retries != 0 ||
         !options->port.empty() || !options->log.empty() || !options->trace.empty() ||
         !options->onResult.empty() || !options->sysroot.empty())) {
        *error = "--report takes only --json";
        return false;
    }
    if (options->station && (options->all || options->doctor)) {
        *error = std::string("--station and ") + (options->all ? "--all" : "--doctor") +
                 " exclude each other";
        return false;
    }
    // As with --all: each socket's process would write the one file.
    if (options->station && !options->trace.empty()) {
        *error = "--station and --trace exclude each other";
        return false;
    }
    if (options->again && !options->station && !options->stationSocket) {
        *error = "--again is for --station";
        return false;
    }
    if (options->all && (options->retries != 0 || !options->onResult.empty())) {
        *error = "--retries and --on-result are for one board or --station";
        return false;
    }
    if (options->all && !options->port.empty()) {
        *error = "--all and --port exclude each other";
        return false;
    }
    // One trace is one board's line: --all's children would all write the one file.
    if (options->all && !options->trace.empty()) {
        *error = "--all and --trace exclude each other";
        return false;
    }
    // The doctor reads and reports; it upgrades nothing, so it has nothing to confirm or record.
    if (options->doctor && (options->all || options->yes || options->ignorePower ||
                            options->again || options->retries != 0 || !options->log.empty() ||
                            !options->trace.empty() || !options->onResult.empty())) {
        *error = "--doctor takes only --port, --json and --sysroot";
        return false;
    }
    // The port name has a fixed-size home; a shortened one could name another board's port.
    for (const std::string& p : options->stationPorts) {
        if (p.size() >= kPortNameBytes) {
            *error = "--port: device name too long";
            return false;
        }
    }
    if (options->port.size() >= kPortNameBytes) {
        *error = "--port: device name too long";
        return false;
    }
    return true;
}

std::string FlashVersionText() {
    return "vantra-flash " VANTRA_VERSION "\n" + CarriedFirmwareLine();
}

bool NameChosenPort(const FlashOptions& options) {
    // As the window does: a bare name is a device under /dev.
    if (!options.port.empty()) {
        if (!SetNamedPort(UserPortName(options.port.c_str()).c_str(), "--port")) {
            WriteAll(STDERR_FILENO, "vantra-flash: --port: device name too long\n");
            return false;
        }
    } else if (const char* env = std::getenv("VANTRA_PORT"); env != nullptr && *env != 0) {
        if (!SetNamedPort(UserPortName(env).c_str(), "VANTRA_PORT")) {
            WriteAll(STDERR_FILENO, "vantra-flash: VANTRA_PORT: device name too long\n");
            return false;
        }
    }
    return true;
}
