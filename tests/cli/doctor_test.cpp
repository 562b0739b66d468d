// vantra-flash over made-up machines (--sysroot): the doctor's port, reasons, problems, fixes
// and exit statuses; the one bridge found and upgraded with its identity; --all in socket order
// with a port listed twice; texts from boards, devices and /proc shown, never obeyed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/flash_child.h"
#include "tests/support/port_holder.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/sys_tree.h"
#include "tests/support/wait_until.h"

namespace {

using clitest::Flash;
using clitest::ReadFile;

using testutil::BoardSim;
using testutil::PortHolder;
using testutil::SysTree;
using testutil::UsbSerial;

QJsonObject Parse(const std::string& text) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return doc.object();
}

std::string Str(const QJsonObject& o, const char* key) {
    return o.value(key).toString().toStdString();
}

const UsbSerial kFtdi{"ttyUSB0",  "ftdi_sio", "0403", "6001",  "FTDI", "FT232R USB UART",
                      "A10K1234", "1-2",      16,     "188:0", true,   true};
const UsbSerial kCh340{"ttyUSB1", "ch341", "1a86", "7523",  "",   "USB Serial",
                       "",        "1-3",   -1,     "188:1", true, true};
const UsbSerial kAcm{"ttyACM0", "cdc_acm", "2341", "0043",  "Arduino", "Uno",
                     "7543",    "1-4",     -1,     "166:0", true,      true};
const UsbSerial kQuatech{"",      "quatech2", "061d", "c020", "Quatech", "SSU-100",
                         "Q0001", "1-5",      1,      "",     true,      true};
const char kPackageRule[] = "usr/lib/udev/rules.d/70-vantra.rules";
constexpr unsigned kDialout = 4242;  // the made-up machine's dialout group

// One made-up machine and what the doctor must make of it. "PTY" in a device's tty puts a real
// pty behind it, so its node exists here.
struct DoctorCase {
    const char* name = "";
    std::vector<UsbSerial> devices{};
    bool packageRule = true;
    bool modemManager = false;  // a ModemManager process in /proc
    bool brltty = false;        // brltty's udev rules, naming the CH340
    std::string holder{};       // a process in /proc holding the pty, by this name
    pid_t holderPid = 4343;
    gid_t ptyGroup = 0;         // the pty's group and mode (0: as openpty left it); root owns it
    mode_t ptyMode = 0;
    std::string groupFile{};  // the machine's etc/group
    bool asNobody = false;
    // What it must say: the rule, the device chosen ("PTY": the pty), the problems that concern
    // that port as (words of the problem, its fix; "PTY" for the pty), the exit status.
    std::string rule = "bridge";
    std::string device = "PTY";
    std::vector<std::pair<std::string, std::string>> problems{};
    int status = 2;
};

void PrintTo(const DoctorCase& c, std::ostream* os) {
    *os << c.name;
}

UsbSerial Pty(UsbSerial d, int latency = -2) {
    d.tty = "PTY";
    d.number = "";
    if (latency != -2) d.latency = latency;
    return d;
}

const char kLatencyFix[] = "echo 1 | sudo tee '/sys/class/tty/PTY/device/latency_timer'";
const char kReload[] = "sudo udevadm control --reload-rules && sudo udevadm trigger";
const char kRootOnly[] = "this account cannot open PTY: only its owner (root) may open it";

std::string LocalRuleFix(const std::string& vendor, const std::string& product) {
    return "echo 'SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" +
           product +
           "\", MODE=\"0660\", GROUP=\"dialout\", TAG+=\"uaccess\"' | sudo tee -a "
           "/etc/udev/rules.d/71-vantra-local.rules && " +
           kReload;
}

// A device only root may open, whose ids are not ids: the rule is given with placeholders.
DoctorCase HostileIds(const char* name, const std::string& vendor, const std::string& product) {
    UsbSerial d = Pty(kFtdi, 1);
    d.vendor = vendor;
    d.product = product;
    return {.name = name,
            .devices = {d},
            .ptyMode = 0600,
            .asNobody = true,
            .problems = {{std::string(kRootOnly) + " (crw------- root:0); the device's vendor and "
                          "product ids are not 4 hexadecimal digits",
                          LocalRuleFix("VVVV", "PPPP")}}};
}

const DoctorCase kDoctorCases[] = {
    {.name = "one FTDI bridge with the slow default timer",
     .devices = {Pty(kFtdi)},
     .problems = {{"the latency timer is 16 ms, which adds about 8.6 s to an upgrade",
                   kLatencyFix}}},
    {.name = "one FTDI bridge set to 1 ms: ready", .devices = {Pty(kFtdi, 1)}, .status = 0},
    {.name = "two bridges: none is chosen",
     .devices = {kFtdi, kCh340},
     .rule = "fallback",
     .device = "/dev/ttyS0",
     .problems = {{"2 USB-serial bridges are plugged in, so none is chosen",
                   "vantra-flash --port "
                   "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"}}},
    {.name = "a CDC-ACM board is no cable",
     .devices = {kAcm},
     .rule = "fallback",
     .device = "/dev/ttyS0",
     .problems = {{"no adapter was found, so Vantra would open COM1:",
                   "ls -l /dev/serial/by-id/"}}},
    {.name = "a supported adapter beside a bridge, without the package's rule",
     .devices = {kFtdi, Pty(kQuatech)},
     .packageRule = false,
     .rule = "adapter",
     .problems = {{"the package's udev rule (70-vantra.rules) is not installed",
                   std::string("sudo apt-get install --reinstall vantra && ") + kReload}}},
    {.name = "ModemManager may probe it and brltty claims it",
     .devices = {[] {
         UsbSerial d = Pty(kCh340);
         d.mmIgnore = false;
         return d;
     }()},
     .modemManager = true,
     .brltty = true,
     .problems = {{"ModemManager is running and udev has not told it to leave PTY alone",
                   "on the machine this copy came from, stop the ModemManager service"},
                  {"brltty (for braille displays) is installed", "sudo apt-get remove brltty"}}},
    {.name = "a program in /proc holds it, under a name meant to erase the line",
     .devices = {Pty(kFtdi)},
     .holder = "\x1b[2Kminicom",
     .problems = {{"PTY is in use by \\x1B[2Kminicom (pid 4343)",
                   "on the machine this copy came from, stop pid 4343 (\\x1B[2Kminicom)"},
                  {"the latency timer is 16 ms", kLatencyFix}}},
    // The copy's pid 1 is not this machine's.
    {.name = "pid 1 of the copied proc holds it",
     .devices = {Pty(kFtdi, 1)},
     .holder = "systemd",
     .holderPid = 1,
     .problems = {{"PTY is in use by systemd (pid 1)",
                   "on the machine this copy came from, stop pid 1 (systemd)"}}},
    {.name = "only root may open it",
     .devices = {Pty(kFtdi, 1)},
     .ptyMode = 0600,
     .asNobody = true,
     .problems = {{std::string(kRootOnly) + " (crw------- root:0)", LocalRuleFix("0403", "6001")}}},
    HostileIds("ids with quotes and spaces", "04\"3", "60 1"),
    HostileIds("ids with a newline and a rule of their own", "04\n03",
               "6001\", RUN+=\"/bin/sh -c 'touch /tmp/owned'"),
    HostileIds("ids too long and not hexadecimal", "04030", "60g1"),
    // Its name climbs out of /dev, to a file that exists here.
    {.name = "a node outside dev",
     .devices = {[] {
         UsbSerial d = kFtdi;
         d.tty = "..!..!etc!passwd";
         d.vendor = d.product = d.number = "";  // no ids: the node itself would be changed
         d.latency = -1;
         return d;
     }()},
     .asNobody = true,
     .device = "/dev/../../etc/passwd",
     .problems = {{"this account cannot open /dev/../../etc/passwd: only its owner (root) may "
                   "open it",
                   "none: give the device the group dialout and mode 0660"}}},
    {.name = "the account is not in the dialout group",
     .devices = {Pty(kFtdi, 1)},
     .ptyGroup = kDialout,
     .ptyMode = 0660,
     .groupFile = "dialout:x:4242:\n",
     .asNobody = true,
     .problems = {{"it belongs to the group dialout, which this account is not in",
                   "sudo usermod -aG dialout nobody"}}},
    // usermod would take a list of groups, or a number as a gid: the live node's gid is used.
    {.name = "the group's name in the copy is a list",
     .devices = {Pty(kFtdi, 1)},
     .ptyGroup = kDialout,
     .ptyMode = 0660,
     .groupFile = "dialout,sudo:x:4242:\n",
     .asNobody = true,
     .problems = {{"it belongs to the group dialout,sudo", "sudo usermod -aG 4242 nobody"}}},
    {.name = "joined dialout, not yet logged in again",
     .devices = {Pty(kFtdi, 1)},
     .ptyGroup = kDialout,
     .ptyMode = 0660,
     .groupFile = "dialout:x:4242:someone,nobody\n",
     .asNobody = true,
     .problems = {{"this account has joined the group dialout (/etc/group), but this login "
                   "began before that",
                   "newgrp dialout"}}},
    {.name = "joined a group whose name in the copy is a number",
     .devices = {Pty(kFtdi, 1)},
     .ptyGroup = kDialout,
     .ptyMode = 0660,
     .groupFile = "0:x:4242:nobody\n",
     .asNobody = true,
     .problems = {{"this account has joined the group 0", "log out and in again"}}},
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

class Doctor : public ::testing::TestWithParam<DoctorCase> {};

TEST_P(Doctor, SaysWhichPortWhyAndWhatStandsInTheWay) {
    const DoctorCase& c = GetParam();
    if (c.asNobody && ::geteuid() != 0) GTEST_SKIP() << "needs root to run the doctor as nobody";
    testutil::PtyPair pty;
    EXPECT_EQ(::chown(pty.path.c_str(), 0, c.ptyGroup), 0);
    if (c.ptyMode != 0) ::chmod(pty.path.c_str(), c.ptyMode);
    const std::string ptyName = testutil::SysfsName(pty.path);
    SysTree tree;
    for (UsbSerial d : c.devices) {
        if (d.tty == "PTY") d.tty = ptyName;
        tree.Add(d);
    }
    if (c.packageRule) tree.AddFile(kPackageRule, "# the package's rule\n");
    if (c.modemManager) tree.AddProcess(812, "ModemManager");
    if (c.brltty) {
        tree.AddFile("usr/lib/udev/rules.d/85-brltty.rules",
                     "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                     "GOTO=\"brltty_usb_run\"\n");
    }
    if (!c.holder.empty()) tree.AddProcess(c.holderPid, c.holder, {pty.path});
    if (!c.groupFile.empty()) tree.AddFile("etc/group", c.groupFile);
    if (c.asNobody) tree.OpenToAll();

    Flash json({"--doctor", "--json", "--sysroot", tree.root}, "", c.asNobody);
    const int jsonStatus = json.Wait();
    Flash text({"--doctor", "--sysroot", tree.root}, "", c.asNobody);
    EXPECT_EQ(text.Wait(), c.status) << text.stdoutText << text.err;
    EXPECT_EQ(jsonStatus, c.status) << json.stdoutText << json.err;

    const std::string device = c.device == "PTY" ? pty.path : c.device;
    const QJsonObject doc = Parse(json.stdoutText);
    const QJsonObject port = doc.value("port").toObject();
    EXPECT_EQ(Str(port, "rule"), c.rule);
    EXPECT_EQ(Str(port, "device"), device);
    EXPECT_EQ(doc.value("ready").toBool(), c.status == 0);
    EXPECT_EQ(doc.value("exit").toInt(), c.status);
    // The text names the port as the start-up line would, with the same reason.
    EXPECT_EQ(text.stdoutText.find("Vantra would open " + Str(port, "name")), 0u)
        << text.stdoutText;
    EXPECT_NE(text.stdoutText.find(", " + Str(port, "reason") + ".\n"), std::string::npos);

    // Every device the same shape; the chosen one flagged, the others saying why not.
    int chosen = 0;
    for (const QJsonValue& value : doc.value("devices").toArray()) {
        const QJsonObject d = value.toObject();
        for (const char* key :
             {"device", "tty", "stable_names", "by_path", "driver", "bus", "usb_id", "maker",
              "product", "usb_serial", "usb_port", "chosen", "why", "exists", "can_open", "access",
              "holders", "latency_timer_ms", "modem_manager_ignores"})
            EXPECT_TRUE(d.contains(key)) << key;
        chosen += d.value("chosen").toBool() ? 1 : 0;
        EXPECT_EQ(Str(d, "why").rfind(d.value("chosen").toBool() ? "yes: " : "no: ", 0), 0u)
            << Str(d, "why");
        if (d.value("chosen").toBool()) {
            EXPECT_EQ(Str(d, "device"), device);
        }
    }
    EXPECT_EQ(chosen, 1);

    std::vector<std::pair<std::string, std::string>> found;
    for (const QJsonValue& value : doc.value("problems").toArray()) {
        const QJsonObject p = value.toObject();
        EXPECT_FALSE(Str(p, "fix").empty()) << Str(p, "problem");
        // Every tree here is a copy: no process of this machine is to be stopped.
        EXPECT_EQ(Str(p, "fix").find("kill"), std::string::npos) << Str(p, "fix");
        if (p.value("concerns_port").toBool()) found.emplace_back(Str(p, "problem"), Str(p, "fix"));
    }
    ASSERT_EQ(found.size(), c.problems.size()) << json.stdoutText;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const std::string words = Replace(c.problems[i].first, "PTY", pty.path);
        const std::string fix = Replace(c.problems[i].second, "PTY", ptyName);
        EXPECT_NE(found[i].first.find(words), std::string::npos) << found[i].first;
        EXPECT_EQ(found[i].second, fix);
        EXPECT_NE(text.stdoutText.find("  fix: " + fix + "\n"), std::string::npos)
            << text.stdoutText;
    }
    EXPECT_NE(text.stdoutText.find(c.status == 0 ? "\nReady: " : "\nNot ready: "),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Trees, Doctor, ::testing::ValuesIn(kDoctorCases),
                         [](const ::testing::TestParamInfo<DoctorCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != 0; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                             return name;
                         });

// On the live machine: a simulated board's port held by another program. The doctor names the
// holder, and neither opens the port nor sends it anything.
TEST(DoctorLive, NamesTheProgramHoldingThePortAndSendsNothing) {
    const std::string trace = testutil::TempPath("doctor-trace");
    BoardSim sim({"--baud", "0", "--trace"}, trace);
    PortHolder holder(sim.path, "sleep");
    Flash doctor({"--doctor", "--port", sim.path});
    EXPECT_EQ(doctor.Wait(), 2) << doctor.err;
    const std::string pid = std::to_string(holder.pid);
    EXPECT_NE(doctor.stdoutText.find("Vantra would open " + sim.path + ", named by --port."),
              std::string::npos)
        << doctor.stdoutText;
    EXPECT_NE(
        doctor.stdoutText.find("Problem: " + sim.path + " is in use by sleep (pid " + pid + ")"),
        std::string::npos)
        << doctor.stdoutText;
    EXPECT_NE(doctor.stdoutText.find("  fix: kill " + pid + "\n"), std::string::npos);
    int status = -1;
    sim.Finish(&status);
    const std::string traced = ReadFile(trace);
    EXPECT_EQ(traced.find("port open"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("frame"), std::string::npos) << traced;
    std::remove(trace.c_str());
}

std::vector<std::string> Board(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--baud", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// The one USB-serial cable found without naming it, upgraded, and known by its socket in every
// event and in the record.
TEST(FlashTree, OneBridgeIsFoundUpgradedAndKnownByItsSocket) {
    BoardSim sim(Board());
    SysTree tree;
    UsbSerial ftdi = kFtdi;
    ftdi.tty = testutil::SysfsName(sim.path);
    ftdi.number = "";
    tree.Add(ftdi);
    const std::string log = testutil::TempPath("doctor-log");
    Flash flash({"--sysroot", tree.root, "--yes", "--json", "--log", log});
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.err.find("trying port " + sim.path + ", the one USB-serial bridge (ftdi_sio"),
              std::string::npos)
        << flash.err;
    const std::string byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    auto identified = [&](const QJsonObject& o) {
        return Str(o, "adapter_serial") == "A10K1234" && Str(o, "adapter_path") == byPath &&
               Str(o, "adapter_id") == "0403:6001";
    };
    int slow = 0;
    std::istringstream lines(flash.stdoutText);
    for (std::string line; std::getline(lines, line);) {
        const QJsonObject e = Parse(line);
        EXPECT_EQ(Str(e, "port"), sim.path);
        EXPECT_TRUE(identified(e)) << line;
        if (Str(e, "event") == "warning" && e.contains("latency_timer_ms")) {
            ++slow;
            EXPECT_EQ(e.value("latency_timer_ms").toInt(), 16);
            EXPECT_DOUBLE_EQ(e.value("seconds_added").toDouble(), 8.6);
            EXPECT_EQ(Str(e, "fix"),
                      "echo 1 | sudo tee '/sys/class/tty/" + ftdi.tty + "/device/latency_timer'");
        }
    }
    EXPECT_EQ(slow, 1);
    EXPECT_NE(flash.err.find("latency timer is 16 ms, which adds about 8.6 s"), std::string::npos);
    // Both lines of the record: the one before the first block and the verdict's.
    std::vector<std::string> outcomes;
    std::istringstream records(ReadFile(log));
    for (std::string line; std::getline(records, line);) {
        const QJsonObject record = Parse(line);
        outcomes.push_back(Str(record, "outcome"));
        EXPECT_TRUE(identified(record)) << line;
    }
    EXPECT_EQ(outcomes, (std::vector<std::string>{"started", "complete"}));
    std::remove(log.c_str());
}

// Three adapters plugged in against the order of their names, one of them listed again by the
// driver list (twice): each board is upgraded once, by a child named vantra-flash, and the
// summary lists them by socket.
TEST(FlashTree, AllUpgradesEachPortOnceInSocketOrder) {
    std::vector<std::unique_ptr<BoardSim>> sims;
    SysTree tree;
    const char* sockets[] = {"1-3", "1-1", "1-2"};
    for (const char* socket : sockets) {
        sims.push_back(std::make_unique<BoardSim>(Board()));
        UsbSerial d = kQuatech;
        d.tty = testutil::SysfsName(sims.back()->path);
        d.port = socket;
        d.serial = std::string("Q-") + socket;
        tree.Add(d);
    }
    // Once by its own name, once by another (a link, as udev's by-id names are).
    const std::string link = testutil::TempPath("by-id");
    std::filesystem::create_symlink(sims[2]->path, link);
    testutil::Hive hive(testutil::DriverKey("01", "Quatech again", &sims[2]->path) +
                        testutil::DriverKey("02", "Quatech by another name", &link));
    Flash flash({"--all", "--yes", "--sysroot", tree.root});
    // The children, while they wait for their boards, are known by the program's name.
    std::vector<std::string> names;
    EXPECT_TRUE(testutil::WaitUntil([&] {
        names.clear();
        std::error_code ec;
        for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::filesystem::path entry = it->path();
            // Only once it runs the program itself, with the arguments it was given.
            if (ReadFile(entry / "cmdline").find("--json") == std::string::npos) continue;
            const std::string stat = ReadFile(entry / "stat");
            const std::size_t close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(stat.substr(close + 2));
            std::string state;
            pid_t parent = 0;
            rest >> state >> parent;
            if (parent == flash.pid) names.push_back(ReadFile(entry / "comm"));
        }
        return names.size() == 3;
    })) << names.size()
        << " children";
    for (const std::string& name : names) EXPECT_EQ(name, "vantra-flash\n");
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_NE(flash.err.find("3 of 3 boards completed."), std::string::npos) << flash.err;
    // The last lines, one per board, in the order of their sockets.
    const std::size_t summary = flash.err.rfind(sims[1]->path + " (/dev/serial/by-path/");
    ASSERT_NE(summary, std::string::npos) << flash.err;
    const std::string tail = flash.err.substr(summary);
    const std::size_t first = tail.find(sims[1]->path +
                                        " (/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0, "
                                        "serial Q-1-1, 061d:c020)  V4.01 #");
    const std::size_t second = tail.find(sims[2]->path + " (");
    const std::size_t third = tail.find(sims[0]->path + " (");
    EXPECT_EQ(first, 0u) << tail;
    EXPECT_LT(first, second) << tail;
    EXPECT_LT(second, third) << tail;
    // A child's own lines reach the parent's display, marked with its port.
    EXPECT_NE(flash.err.find(sims[0]->path + ": vantra-flash: trying port " + sims[0]->path),
              std::string::npos)
        << flash.err;
    for (auto& sim : sims) {
        int status = -1;
        const std::string summary = sim->Finish(&status);
        EXPECT_NE(summary.find("blocks=536 "), std::string::npos) << summary;
    }
    std::remove(link.c_str());
}

// Bytes a board or another program chose, shown to the technician: never a control byte, never
// a byte a terminal would take as the start of a sequence.
TEST(FlashTree, HostileTextsAreShownEscaped) {
    struct Case {
        std::string version;
        std::string serial;
        std::string holder;
        std::string versionShown;
        std::string serialShown;
        std::string holderShown;
    } cases[] = {
        {"\r\x1b[2KCurrent Version: V9.9", "\x1b]0;hi\x07", "\x1b[31mred",
         "\\x0D\\x1B[2KCurrent Version: V9.9", "\\x1B]0;hi\\x07", "\\x1B[31mred"},
        {"V4.01\n\nForged", "12\r34", "cr\rlf\n", "V4.01\\x0A\\x0AForged", "12\\x0D34",
         "cr\\x0Dlf\\x0A"},
        {"V\xC3\xA9\xFF\x7F",
         "\x9b"
         "2J",
         "\xE2\x80\xAE"
         "evil",
         "V\\xC3\\xA9\\xFF\\x7F", "\\x9B2J", "\\xE2\\x80\\xAEevil"},
    };
    std::vector<std::unique_ptr<BoardSim>> sims;
    std::vector<std::unique_ptr<PortHolder>> holders;
    std::vector<std::unique_ptr<Flash>> flashes;
    for (const Case& c : cases) {
        sims.push_back(
            std::make_unique<BoardSim>(Board({"--version", c.version, "--serial", c.serial})));
        holders.push_back(std::make_unique<PortHolder>(sims.back()->path, c.holder));
        // Not confirmed: what was shown is all that matters here.
        flashes.push_back(
            std::make_unique<Flash>(std::vector<std::string>{"--port", sims.back()->path}, "n\n"));
    }
    for (std::size_t i = 0; i < flashes.size(); ++i) {
        SCOPED_TRACE(i);
        Flash& flash = *flashes[i];
        EXPECT_EQ(flash.Wait(), 1) << flash.err;
        const std::string& err = flash.err;
        EXPECT_NE(err.find("Current Version: " + cases[i].versionShown + "\n"), std::string::npos)
            << err;
        EXPECT_NE(err.find("Serial Number: " + cases[i].serialShown + "\n"), std::string::npos)
            << err;
        EXPECT_NE(err.find("is also open in " + cases[i].holderShown + " (pid " +
                           std::to_string(holders[i]->pid) + ")"),
                  std::string::npos)
            << err;
        for (const char c : err) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7F)) << "byte " << int(byte);
        }
    }
}

}  // namespace
