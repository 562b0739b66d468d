#include "cli/doctor_problems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "cli/fix_text.h"
#include "platform/text.h"

namespace doctor {

namespace {

using platform::EscapeText;
using platform::SerialDevice;
using platform::ShellWord;

// Whether udev rule text names a USB vendor:product, in either form rules use:
// ATTRS{idVendor}=="1a86" with ATTRS{idProduct}=="7523" on one line, or ENV{PRODUCT}=="1a86/7523/*"
// (without leading zeros).
bool RulesName(const std::string& text, const SerialDevice& d) {
    if (d.vendorId.empty() || d.productId.empty()) return false;
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    };
    auto bare = [](const std::string& hex) {
        const std::size_t first = hex.find_first_not_of('0');
        return first == std::string::npos ? std::string("0") : hex.substr(first);
    };
    const std::string vendor = lower(d.vendorId);
    const std::string product = lower(d.productId);
    const std::string path = "\"" + bare(vendor) + "/" + bare(product) + "/";
    std::size_t start = 0;
    const std::string all = lower(text);
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(start, end - start);
        start = end + 1;
        if (line.find(path) != std::string::npos) return true;
        if (line.find("idvendor}==\"" + vendor + "\"") != std::string::npos &&
            line.find("idproduct}==\"" + product + "\"") != std::string::npos)
            return true;
    }
    return false;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What stops the programs holding the port. The pids of a copied /proc are another machine's:
// a command for this one would stop whatever runs here under that pid.
std::string HolderFix(const std::vector<platform::ProcessInfo>& holders, const Credentials& me,
                      bool copied) {
    if (copied) {
        std::string which;
        for (std::size_t i = 0; i < holders.size(); ++i) {
            which += (i == 0 ? "" : i + 1 == holders.size() ? " and " : ", ") + std::string("pid ") +
                     std::to_string(holders[i].pid) + " (" + EscapeText(holders[i].name) + ")";
        }
        return "on the machine this copy came from, stop " + which;
    }
    std::string fix;
    for (const platform::ProcessInfo& p : holders) {
        std::string one;
        if (p.name == "ModemManager") {
            one = "sudo systemctl stop ModemManager";
        } else {
            one = (platform::ProcessOwner(p.pid) == static_cast<long>(me.uid) ? "kill "
                                                                              : "sudo kill ") +
                  std::to_string(p.pid);
        }
        fix += (fix.empty() ? "" : " && ") + one;
    }
    return fix;
}

// The command that puts the package's udev rule back: copied from where a source install put
// it beside this program (udev does not read /usr/local), else from the package.
std::string PackageRuleFix() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string program = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : "";
    const std::size_t bin = program.rfind("/bin/");
    if (bin != std::string::npos && bin > 0 && program.compare(0, bin, "/usr") != 0) {
        const std::string rule = program.substr(0, bin) + "/lib/udev/rules.d/70-vantra.rules";
        struct stat st {};
        if (::stat(rule.c_str(), &st) == 0)
            return "sudo cp " + ShellWord(rule) + " /etc/udev/rules.d/ && " + kReloadRules;
    }
    return std::string("sudo apt-get install --reinstall vantra && ") + kReloadRules;
}

}  // namespace

std::string HolderText(const std::vector<platform::ProcessInfo>& holders) {
    std::string text;
    for (const platform::ProcessInfo& p : holders)
        text += (text.empty() ? "" : ", ") + EscapeText(p.name) + " (pid " + std::to_string(p.pid) +
                ")";
    return text;
}

void FindProblems(const PortChoice& choice, const std::vector<Entry>& entries,
                  const Credentials& me, bool copied, std::vector<Problem>* problems) {
    const Entry* port = nullptr;
    for (const Entry& e : entries) {
        if (e.chosen) port = &e;
    }
    const std::string node = EscapeText(port->device.node);

    // The port itself: there, openable, not in other hands, not slow.
    const bool hardware = !port->device.tty.empty() && !port->device.driver.empty();
    if (choice.source == PortSource::Fallback && choice.bridges.size() > 1) {
        // The cable's own name (by-id) stays with it whichever socket it is plugged into.
        std::string first = choice.bridges[0];
        for (const Entry& e : entries) {
            if (e.device.node != first) continue;
            for (const std::string& link : e.device.links) {
                if (link.rfind("/dev/serial/by-id/", 0) == 0 && IsDevicePath(link)) {
                    first = link;
                    break;
                }
            }
        }
        problems->push_back({port->device.node,
                             std::to_string(choice.bridges.size()) +
                                 " USB-serial bridges are plugged in, so none is chosen and " +
                                 node + " (COM1:) would be opened instead; name the board's",
                             IsDevicePath(first) ? "vantra-flash --port " + ShellWord(first)
                                                 : "ls -l /dev/serial/by-id/",
                             true});
    } else if (choice.source == PortSource::Fallback && (!port->access.exists || !hardware)) {
        problems->push_back({port->device.node,
                             "no adapter was found, so Vantra would open COM1: (" + node +
                                 "), which has no serial adapter behind it; plug the cable in, "
                                 "then name its port with --port (the USB ones are listed by "
                                 "the command below)",
                             "ls -l /dev/serial/by-id/", true});
    } else if (!port->access.exists) {
        problems->push_back({port->device.node,
                             node + " does not exist: the adapter is not plugged in, or it is "
                                    "the wrong port (the USB ones are listed by the command "
                                    "below)",
                             "ls -l /dev/serial/by-id/", true});
    }
    if (port->access.exists && !port->access.canOpen) {
        problems->push_back({port->device.node,
                             "this account cannot open " + node + ": " + port->access.how,
                             port->access.fix, true});
    }
    if (!port->holders.empty()) {
        problems->push_back({port->device.node,
                             node + " is in use by " + HolderText(port->holders) +
                                 "; Vantra cannot open it, or their bytes would corrupt the "
                                 "upgrade",
                             HolderFix(port->holders, me, copied), true});
    }

    for (const Entry& e : entries) {
        SlowAdapter slow;
        if (!FindSlowAdapter(e.device, &slow)) continue;
        char text[160];
        std::snprintf(text, sizeof text,
                      ": the latency timer is %d ms, which adds about %.1f s to an upgrade",
                      slow.timerMs, slow.secondsAdded);
        // The tty's name goes into a path under /sys ("pts!3" stands for pts/3).
        problems->push_back({e.device.node, EscapeText(e.device.node) + text,
                             IsPlainName(e.device.tty, "!")
                                 ? slow.fix
                                 : "none: its name is not a plain tty name; set its "
                                   "latency_timer to 1",
                             e.chosen});
    }

    // Programs that take or probe serial ports behind the user's back.
    const std::vector<platform::ProcessInfo> processes = platform::ListProcesses();
    auto running = [&](const char* name) {
        return std::any_of(processes.begin(), processes.end(),
                           [&](const platform::ProcessInfo& p) { return p.name == name; });
    };
    if (running("ModemManager")) {
        for (const Entry& e : entries) {
            if (e.device.driver.empty() || e.device.modemManagerIgnores) continue;
            problems->push_back(
                {e.device.node,
                 "ModemManager is running and udev has not told it to leave " +
                     EscapeText(e.device.node) +
                     " alone (no ID_MM_DEVICE_IGNORE): it may open the port and send it modem "
                     "commands",
                 copied ? "on the machine this copy came from, stop the ModemManager service"
                        : "sudo systemctl stop ModemManager",
                 e.chosen});
        }
    }
    std::string brlttyRules;
    std::string brlttyText;
    const std::vector<std::string> rules = platform::UdevRuleFiles();
    bool packageRule = false;
    for (const std::string& file : rules) {
        const std::string name = file.substr(file.rfind('/') + 1);
        if (name == "70-vantra.rules") packageRule = true;
        if (name.find("brltty") != std::string::npos) {
            brlttyRules = file;
            brlttyText += ReadWhole(file);
        }
    }
    const bool brlttyRunning = running("brltty");
    if (!brlttyRules.empty() || brlttyRunning) {
        const bool onUsb = port->device.bus == "usb";
        const bool claims = onUsb && (RulesName(brlttyText, port->device) ||
                                      (brlttyRules.empty() && brlttyRunning));
        problems->push_back(
            {"",
             std::string("brltty (for braille displays) is ") +
                 (brlttyRules.empty() ? "running"
                                      : "installed (" + EscapeText(brlttyRules) + ")" +
                                            (brlttyRunning ? " and running" : "")) +
                 ": it claims common USB-serial adapters (CH340, CP210x, some FTDI), and their "
                 "port appears and then vanishes",
             "sudo apt-get remove brltty", claims});
    }
    if (!packageRule) {
        problems->push_back(
            {"",
             "the package's udev rule (70-vantra.rules) is not installed: the supported "
             "adapters get no dialout group, no access for the user at the seat, no shelter "
             "from ModemManager and no 1 ms latency timer",
             PackageRuleFix(), choice.source == PortSource::Adapter && hardware});
    }
}

}  // namespace doctor
