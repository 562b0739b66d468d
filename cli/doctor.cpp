#include "cli/doctor.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/flash_report.h"
#include "cli/json_line.h"
#include "platform/host_facts.h"
#include "platform/text.h"
#include "transport/port_discovery.h"

namespace {

using platform::EscapeText;
using platform::SerialDevice;
using platform::ShellWord;

constexpr unsigned kReadWrite = 6;  // the port is opened for reading and writing
constexpr char kLocalRules[] = "/etc/udev/rules.d/71-vantra-local.rules";
constexpr char kReloadRules[] = "sudo udevadm control --reload-rules && sudo udevadm trigger";

// This process's credentials as open() checks them: the effective ids and the supplementary
// groups the login gave it (getgroups), not what /etc/group says today.
struct Credentials {
    uid_t uid = 0;
    gid_t primaryGid = 0;  // the account's own group in the user database
    std::vector<gid_t> groups;
    std::string user;
    bool InGroup(gid_t gid) const {
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    }
};

Credentials OwnCredentials() {
    Credentials me;
    me.uid = ::geteuid();
    const int count = ::getgroups(0, nullptr);
    me.groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int got = count > 0 ? ::getgroups(count, me.groups.data()) : 0;
    me.groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    me.groups.push_back(::getegid());
    // The account's name and own group from the live user database: /etc/group lists members
    // by name.
    const passwd* pw = ::getpwuid(me.uid);
    me.user = pw != nullptr ? pw->pw_name : std::to_string(me.uid);
    me.primaryGid = pw != nullptr ? pw->pw_gid : ::getegid();
    return me;
}

std::string GroupName(gid_t gid, const std::vector<platform::GroupEntry>& groups) {
    for (const platform::GroupEntry& g : groups) {
        if (g.gid == gid) return g.name;
    }
    return std::to_string(gid);
}

std::string UserName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

// "crw-rw---- root:dialout", as ls shows a node.
std::string ModeText(const struct stat& st, const std::vector<platform::GroupEntry>& groups) {
    std::string text = S_ISCHR(st.st_mode) ? "c" : S_ISREG(st.st_mode) ? "-" : "?";
    const char* letters = "rwxrwxrwx";
    for (int bit = 8; bit >= 0; --bit) text += (st.st_mode >> bit) & 1 ? letters[8 - bit] : '-';
    return text + " " + UserName(st.st_uid) + ":" + GroupName(st.st_gid, groups);
}

// Texts from a device, a udev record or a copied tree reach a fix only once they are what the
// command needs; ShellWord keeps the shell from acting on them, these keep the command itself
// (a rule's text, a path, a group list) from being turned.

// ASCII alone, whatever the locale says of other bytes.
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(unsigned char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A USB vendor or product id as sysfs gives it: 4 hexadecimal digits.
bool IsUsbId(const std::string& id) {
    return id.size() == 4 && std::all_of(id.begin(), id.end(), [](unsigned char c) {
               return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool IsPlainNameByte(unsigned char c) {
    return IsAlnum(c) || c == '.' || c == '_' || c == '-' || c == ':' || c == '+' || c == ',' ||
           c == '=' || c == '@';
}

// A name in a path: no "." or "..", nothing a shell or a terminal would act on.
bool IsPlainName(const std::string& name, const char* alsoAllowed = "") {
    return !name.empty() && name != "." && name != ".." &&
           std::all_of(name.begin(), name.end(), [&](unsigned char c) {
               return IsPlainNameByte(c) || (c != 0 && std::strchr(alsoAllowed, c) != nullptr);
           });
}

// A path under /dev that stays there: a device node or a udev link.
bool IsDevicePath(const std::string& path) {
    if (path.rfind("/dev/", 0) != 0) return false;
    for (std::size_t from = 5;;) {
        const std::size_t slash = path.find('/', from);
        if (!IsPlainName(path.substr(from, slash - from))) return false;
        if (slash == std::string::npos) return true;
        from = slash + 1;
    }
}

// A group name usermod and newgrp take as one name: not a list (a comma), not an option, not
// all digits (which they would take as a gid).
bool IsGroupName(const std::string& name) {
    std::string body = name;
    if (!body.empty() && body.back() == '$') body.pop_back();  // a machine account's group
    return !body.empty() && body.size() <= 32 && body[0] != '-' &&
           std::all_of(body.begin(), body.end(),
                       [](unsigned char c) {
                           return IsAlnum(c) || c == '_' || c == '.' || c == '-';
                       }) &&
           !std::all_of(body.begin(), body.end(), [](unsigned char c) { return IsDigit(c); });
}

// A udev rule giving the dialout group and the user at the seat the device, or, for a device
// without USB ids, its node until it is plugged in again. An id that is not one is left as a
// placeholder, and `why` says so.
std::string RuleFix(const SerialDevice& d, std::string* why) {
    if (d.vendorId.empty() || d.productId.empty()) {
        if (!IsDevicePath(d.node)) {
            *why = "its name is not a plain path under /dev, so no command is given";
            return "none: give the device the group dialout and mode 0660";
        }
        return "sudo chgrp dialout " + ShellWord(d.node) + " && sudo chmod 0660 " +
               ShellWord(d.node);
    }
    const bool vendor = IsUsbId(d.vendorId);
    const bool product = IsUsbId(d.productId);
    if (!vendor || !product) {
        const bool both = !vendor && !product;
        *why = std::string("the device's ") +
               (both ? "vendor and product ids are" : !vendor ? "vendor id is" : "product id is") +
               " not 4 hexadecimal digits, so the rule has " +
               (both ? "VVVV and PPPP in their" : !vendor ? "VVVV in its" : "PPPP in its") +
               " place: put in what lsusb shows for the adapter";
    }
    const std::string rule = std::string("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"") +
                             (vendor ? d.vendorId : "VVVV") + "\", ATTRS{idProduct}==\"" +
                             (product ? d.productId : "PPPP") +
                             "\", MODE=\"0660\", GROUP=\"dialout\", TAG+=\"uaccess\"";
    return "echo " + ShellWord(rule) + " | sudo tee -a " + kLocalRules + " && " + kReloadRules;
}

struct Access {
    bool exists = false;
    bool canOpen = false;
    std::string how;  // why it can or cannot, for a person (escaped)
    std::string fix;  // the command that lets it when it cannot, or what to do where none is safe
};

// Whether this account may open `d` for reading and writing, judged without opening it, as the
// kernel would: the live node's owner, group and mode bits and its access ACL
// (system.posix_acl_access, where logind's uaccess grants the user at the seat), against this
// process's credentials; /etc/group tells a group joined since this login began.
Access JudgeAccess(const SerialDevice& d, const Credentials& me,
                   const std::vector<platform::GroupEntry>& groups) {
    Access a;
    struct stat st {};
    if (::stat(d.node.c_str(), &st) != 0) {
        a.how = "it does not exist";
        return a;
    }
    a.exists = true;
    const std::string mode = " (" + ModeText(st, groups) + ")";
    if (me.uid == 0) {
        a.canOpen = true;
        a.how = "this account is root" + mode;
        return a;
    }
    std::vector<platform::AclEntry> acl;
    const bool hasAcl = platform::ReadAccessAcl(d.node, &acl);
    unsigned mask = 7;
    for (const platform::AclEntry& e : acl) {
        if (e.tag == platform::AclEntry::Mask) mask = e.perms;
    }
    // The groups whose members are let in or kept out: the node's own, and the ACL's named ones.
    struct GroupRight {
        gid_t gid;
        bool grants;
    };
    std::vector<GroupRight> rights;
    std::vector<uid_t> aclUsers;
    unsigned ownUser = 0;
    bool ownAclEntry = false;
    if (hasAcl) {
        for (const platform::AclEntry& e : acl) {
            const bool grants = (e.perms & mask & kReadWrite) == kReadWrite;
            if (e.tag == platform::AclEntry::GroupObj) rights.push_back({st.st_gid, grants});
            if (e.tag == platform::AclEntry::Group) rights.push_back({e.id, grants});
            if (e.tag == platform::AclEntry::User) {
                aclUsers.push_back(e.id);
                if (e.id == me.uid) {
                    ownAclEntry = true;
                    ownUser = e.perms & mask;
                }
            }
        }
    } else {
        rights.push_back({st.st_gid, ((st.st_mode >> 3) & kReadWrite) == kReadWrite});
    }

    unsigned granted = 0;
    std::string through;
    if (me.uid == st.st_uid) {
        granted = (st.st_mode >> 6) & 7;
        through = "as its owner";
    } else if (ownAclEntry) {
        granted = ownUser;
        through = "through an ACL for this account (the user at the seat)";
    } else {
        bool member = false;
        for (const GroupRight& r : rights) {
            if (!me.InGroup(r.gid)) continue;
            member = true;
            if (r.grants) {
                granted = kReadWrite;
                through = "through the group " + GroupName(r.gid, groups);
            }
        }
        if (!member) {
            granted = st.st_mode & 7;
            through = "as anyone may";
        }
    }
    if ((granted & kReadWrite) == kReadWrite) {
        a.canOpen = true;
        a.how = through + mode;
        return a;
    }

    for (const GroupRight& r : rights) {
        if (!r.grants || me.InGroup(r.gid)) continue;
        const std::string name = GroupName(r.gid, groups);
        bool listed = me.primaryGid == r.gid;
        for (const platform::GroupEntry& g : groups) {
            if (g.gid == r.gid &&
                std::find(g.members.begin(), g.members.end(), me.user) != g.members.end())
                listed = true;
        }
        // The name comes from /etc/group, perhaps a copied one; the gid from the live node.
        const bool plain = IsGroupName(name);
        if (listed) {
            a.how = "this account has joined the group " + name +
                    " (/etc/group), but this login began before that; log out and in again, "
                    "or start a shell that has it" +
                    mode;
            a.fix = plain ? "newgrp " + ShellWord(name) : "log out and in again";
        } else {
            a.how = "it belongs to the group " + name +
                    ", which this account is not in; join it, then log out and in again" + mode;
            a.fix = "sudo usermod -aG " + (plain ? ShellWord(name) : std::to_string(r.gid)) +
                    " " + ShellWord(me.user);
        }
        return a;
    }
    std::string seat;
    for (const uid_t uid : aclUsers) seat += (seat.empty() ? "" : ", ") + UserName(uid);
    a.how = "only its owner (" + UserName(st.st_uid) + ")" +
            (seat.empty() ? "" : " and, through an ACL, " + seat) + " may open it" + mode;
    std::string why;
    a.fix = RuleFix(d, &why);
    if (!why.empty()) a.how += "; " + why;
    return a;
}

struct Problem {
    std::string device;  // "" for the machine as a whole
    std::string text;    // escaped
    std::string fix;
    bool concernsPort;  // it stands between Vantra and the port it would open
};

// One device as the doctor sees it.
struct Entry {
    SerialDevice device;
    bool chosen = false;
    std::string why;
    Access access;
    std::vector<platform::ProcessInfo> holders;
};

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

std::string HolderText(const std::vector<platform::ProcessInfo>& holders) {
    std::string text;
    for (const platform::ProcessInfo& p : holders)
        text += (text.empty() ? "" : ", ") + EscapeText(p.name) + " (pid " + std::to_string(p.pid) +
                ")";
    return text;
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

// `copied`: the trees are a copy of another machine's (--sysroot).
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

std::string Text(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(18, ' ');
    return line + value + "\n";
}

std::string DescribeText(const PortChoice& choice, const std::vector<Entry>& entries,
                         const std::vector<Problem>& problems, bool ready) {
    char note[64] = "";
    const std::string device = PortDevicePath(choice.name);
    if (device != choice.name) std::snprintf(note, sizeof note, " (%s)", device.c_str());
    std::string out =
        "Vantra would open " + EscapeText(choice.name) + note + ", " + choice.reason + ".\n";
    for (const Entry& e : entries) {
        const SerialDevice& d = e.device;
        out +=
            "\n" + EscapeText(d.node) + (e.chosen ? "  <- the port Vantra would open" : "") + "\n";
        for (std::size_t i = 0; i < d.links.size(); ++i)
            out += Text(i == 0 ? "stable names" : "", EscapeText(d.links[i]));
        if (!d.driver.empty()) out += Text("driver", EscapeText(d.driver));
        if (d.bus == "usb") {
            std::string usb = d.vendorId + ":" + d.productId;
            if (!d.maker.empty()) usb += ", " + d.maker;
            if (!d.product.empty()) usb += ", " + d.product;
            if (!d.usbSerial.empty()) usb += ", serial number " + d.usbSerial;
            usb += ", port " + d.usbPort;
            out += Text("USB", EscapeText(usb));
        } else if (!d.maker.empty() || !d.product.empty()) {
            out += Text("PC Card", EscapeText(d.maker + ", " + d.product));
        }
        out += Text("Vantra", EscapeText(e.why));
        out += Text("this account", (e.access.canOpen ? "can open it: " : "cannot open it: ") +
                                        EscapeText(e.access.how));
        out += Text("held by", e.holders.empty() ? "no other program" : HolderText(e.holders));
        if (d.latencyTimerMs >= 0)
            out += Text("latency timer", std::to_string(d.latencyTimerMs) + " ms");
    }
    out += "\n";
    if (problems.empty()) out += "No problems found.\n";
    for (const Problem& p : problems) {
        // Names from a copied /etc/group reach here too; escaping twice changes nothing.
        out += "Problem: " + EscapeText(p.text) + ".\n";
        out += "  fix: " + EscapeText(p.fix) + "\n";
    }
    out +=
        ready ? "\nReady: " + EscapeText(device) + " can be opened and nothing stands in its way.\n"
              : "\nNot ready: " + EscapeText(device) +
                    " cannot be used as it stands (exit status 2).\n";
    return out;
}

std::string DescribeJson(const PortChoice& choice, const std::vector<Entry>& entries,
                         const std::vector<Problem>& problems, bool ready, int status) {
    std::vector<std::string> devices;
    for (const Entry& e : entries) {
        const SerialDevice& d = e.device;
        std::vector<std::string> links;
        for (const std::string& link : d.links) links.push_back(JsonString(link));
        std::vector<std::string> holders;
        for (const platform::ProcessInfo& p : e.holders)
            holders.push_back(JsonLine().Number("pid", p.pid).Text("name", p.name).Object());
        devices.push_back(JsonLine()
                              .Text("device", d.node)
                              .Text("tty", d.tty)
                              .Raw("stable_names", JsonArray(links))
                              .Text("by_path", d.byPath())
                              .Text("driver", d.driver)
                              .Text("bus", d.bus)
                              .Text("usb_id", d.bus == "usb" ? d.vendorId + ":" + d.productId : "")
                              .Text("maker", d.maker)
                              .Text("product", d.product)
                              .Text("usb_serial", d.usbSerial)
                              .Text("usb_port", d.usbPort)
                              .Bool("chosen", e.chosen)
                              .Text("why", e.why)
                              .Bool("exists", e.access.exists)
                              .Bool("can_open", e.access.canOpen)
                              .Text("access", e.access.how)
                              .Raw("holders", JsonArray(holders))
                              .Raw("latency_timer_ms", d.latencyTimerMs >= 0
                                                           ? std::to_string(d.latencyTimerMs)
                                                           : "null")
                              .Bool("modem_manager_ignores", d.modemManagerIgnores)
                              .Object());
    }
    std::vector<std::string> found;
    for (const Problem& p : problems) {
        found.push_back(JsonLine()
                            .Text("device", p.device)
                            .Text("problem", p.text)
                            .Text("fix", p.fix)
                            .Bool("concerns_port", p.concernsPort)
                            .Object());
    }
    const std::string port = JsonLine()
                                 .Text("name", choice.name)
                                 .Text("device", PortDevicePath(choice.name))
                                 .Text("rule", choice.rule)
                                 .Text("reason", choice.reason)
                                 .Object();
    return JsonLine()
        .Raw("port", port)
        .Raw("devices", JsonArray(devices))
        .Raw("problems", JsonArray(found))
        .Bool("ready", ready)
        .Number("exit", status)
        .Finish();
}

}  // namespace

int RunDoctor(const FlashOptions& options) {
    // The port is named as for an upgrade: --port, else VANTRA_PORT.
    if (!NameChosenPort(options)) return kExitUsage;
    const PortChoice choice = ChoosePort(true);
    const Credentials me = OwnCredentials();
    const std::vector<platform::GroupEntry> groups = platform::ReadGroupFile();

    std::vector<Entry> entries;
    for (const SerialDevice& d : choice.devices)
        entries.push_back({d, IsThePort(d, choice), {}, {}, {}});
    if (std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.chosen; })) {
        // A port sysfs does not show (a pty, a serial port without hardware): it goes first.
        Entry named;
        named.device.node = PortDevicePath(choice.name);
        named.chosen = true;
        entries.insert(entries.begin(), named);
    }
    for (Entry& e : entries) {
        e.why = WhyThisPort(e.device, choice);
        e.access = JudgeAccess(e.device, me, groups);
        if (e.access.exists) e.holders = platform::FindDeviceHolders(e.device.node);
    }
    std::vector<Problem> problems;
    FindProblems(choice, entries, me, !options.sysroot.empty(), &problems);
    const bool ready = std::none_of(problems.begin(), problems.end(),
                                    [](const Problem& p) { return p.concernsPort; });
    const int status = ready ? kExitComplete : kExitNoPort;
    WriteAll(STDOUT_FILENO, options.json ? DescribeJson(choice, entries, problems, ready, status)
                                         : DescribeText(choice, entries, problems, ready));
    return status;
}
