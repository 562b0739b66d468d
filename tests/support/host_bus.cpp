#include "tests/support/host_bus.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/support/pty_helpers.h"
#include "tests/support/wait_until.h"

namespace testutil {
namespace {

// Debian's interpreter, where python3-dbusmock is installed (not one earlier on PATH).
constexpr char kPython[] = "/usr/bin/python3";

constexpr char kConfig[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

struct Bus {
    sd_bus* bus = nullptr;
    explicit Bus(const std::string& address) {
        if (sd_bus_new(&bus) < 0) return;
        if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_start(bus) < 0) {
            sd_bus_unref(bus);
            bus = nullptr;
        }
    }
    ~Bus() {
        if (bus != nullptr) sd_bus_flush_close_unref(bus);
    }
};

}  // namespace

HostBus::HostBus(HostPowerSetting power) {
    char dir[] = "/tmp/vantra-bus-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = dir;
    std::string config = kConfig;
    config.replace(config.find("@DIR@"), 5, dir_);
    std::ofstream(dir_ + "/system.conf") << config;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    const pid_t daemon = Spawn({"/usr/bin/dbus-daemon", "--nofork", "--print-address=1",
                                "--config-file=" + dir_ + "/system.conf"},
                               -1, fds[1]);
    ::close(fds[1]);
    if (daemon < 0) {
        ::close(fds[0]);
        error_ = "dbus-daemon could not be started (package dbus-daemon)";
        return;
    }
    children_.push_back(daemon);
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, kPatienceMs) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        address_ += c;
    ::close(fds[0]);
    if (address_.empty()) {
        error_ = "dbus-daemon printed no address";
        return;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);

    Start({kPython, "-m", "dbusmock", "--template", "logind"});
    if (!WaitForName("org.freedesktop.login1")) return;
    if (!power.upower) return;
    Start({kPython, "-m", "dbusmock", "--template", "upower", "--parameters",
           power.onBattery ? "{\"OnBattery\": true}" : "{\"OnBattery\": false}"});
    if (!WaitForName("org.freedesktop.UPower")) return;

    // The display device: one battery, present, at the asked level.
    Bus bus(address_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const char* device = "/org/freedesktop/UPower/devices/DisplayDevice";
    const char* iface = "org.freedesktop.UPower.Device";
    const int r1 = sd_bus_set_property(bus.bus, "org.freedesktop.UPower", device, iface, "Type",
                                       &error, "u", 2u);
    const int r2 = sd_bus_set_property(bus.bus, "org.freedesktop.UPower", device, iface,
                                       "IsPresent", &error, "b", 1);
    const int r3 = sd_bus_set_property(bus.bus, "org.freedesktop.UPower", device, iface,
                                       "Percentage", &error, "d", power.percentage);
    if (r1 < 0 || r2 < 0 || r3 < 0)
        error_ = std::string("setting the battery failed: ") +
                 (error.message != nullptr ? error.message : "?");
    sd_bus_error_free(&error);
}

HostBus::~HostBus() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        ::kill(*it, SIGTERM);
        ::waitpid(*it, nullptr, 0);
    }
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!dir_.empty()) {
        std::remove((dir_ + "/system.conf").c_str());
        // The daemon's socket, named by it.
        if (const std::size_t at = address_.find("path="); at != std::string::npos)
            std::remove(address_.substr(at + 5, address_.find(',', at) - at - 5).c_str());
        ::rmdir(dir_.c_str());
    }
}

pid_t HostBus::Start(const std::vector<std::string>& args) {
    // The mocks print every call; the test asks them instead.
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = Spawn(args, -1, quiet, "/dev/null");
    ::close(quiet);
    if (pid > 0) children_.push_back(pid);
    return pid;
}

bool HostBus::WaitForName(const char* name) {
    Bus bus(address_);
    const bool up = bus.bus != nullptr && WaitUntil([&] {
                        sd_bus_error error = SD_BUS_ERROR_NULL;
                        sd_bus_message* reply = nullptr;
                        int has = 0;
                        if (sd_bus_call_method(bus.bus, "org.freedesktop.DBus",
                                               "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                               "NameHasOwner", &error, &reply, "s", name) >= 0)
                            sd_bus_message_read(reply, "b", &has);
                        sd_bus_message_unref(reply);
                        sd_bus_error_free(&error);
                        if (has == 0) ::usleep(20000);
                        return has != 0;
                    });
    if (!up)
        error_ = std::string(name) + " did not appear on the test's system bus (python3-dbusmock "
                                     "for /usr/bin/python3 missing?)";
    return up;
}

std::vector<std::string> HostBus::Inhibitors() {
    std::vector<std::string> locks;
    Bus bus(address_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus.bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply,
                           "") < 0) {
        locks.push_back("ListInhibitors failed: " +
                        std::string(error.message != nullptr ? error.message : "?"));
    } else if (sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        unsigned uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            locks.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return locks;
}

std::string HostBus::PrefaceInhibit(const std::string& python) {
    // The template's own Inhibit, called from the replacement, keeps ListInhibitors true.
    const std::string code = "import dbusmock.templates.logind as logind\n" + python +
                             "\nret = logind.Inhibit(self, *args)";
    Bus bus(address_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus.bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.DBus.Mock", "AddMethod", &error, nullptr,
                                     "sssss", "org.freedesktop.login1.Manager", "Inhibit",
                                     "ssss", "h", code.c_str());
    const std::string failure =
        r >= 0 ? "" : "AddMethod failed: " + std::string(error.message ? error.message : "?");
    sd_bus_error_free(&error);
    return failure;
}

PortalMock::PortalMock() : log_(TempPath("portal-log")) {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
        error_ = "no session bus";
        return;
    }
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = Spawn({kPython, "-m", "dbusmock", "--session", "--logfile", log_,
                  "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                  "org.freedesktop.portal.Inhibit"},
                 -1, quiet, "/dev/null");
    ::close(quiet);
    sd_bus* bus = nullptr;
    if (pid_ < 0 || sd_bus_open_user(&bus) < 0) {
        error_ = "the portal mock could not be started";
        return;
    }
    const bool up = WaitUntil([&] {
        int has = 0;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               "org.freedesktop.portal.Desktop") >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (has == 0) ::usleep(20000);
        return has != 0;
    });
    // Inhibit hands out a request object whose Close is logged like any call.
    const char* code =
        "p = '/org/freedesktop/portal/desktop/request/1/vantra'\n"
        "if p not in objects: self.AddObject(p, 'org.freedesktop.portal.Request', {}, "
        "[('Close', '', '', '')])\n"
        "ret = dbus.ObjectPath(p)";
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (!up || sd_bus_call_method(bus, "org.freedesktop.portal.Desktop",
                                  "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Mock",
                                  "AddMethod", &error, nullptr, "sssss",
                                  "org.freedesktop.portal.Inhibit", "Inhibit", "sua{sv}", "o",
                                  code) < 0)
        error_ = std::string("the portal mock did not take its method: ") +
                 (error.message != nullptr ? error.message : "not on the bus");
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
}

PortalMock::~PortalMock() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::remove(log_.c_str());
}

std::string PortalMock::Log() const {
    std::ifstream in(log_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int OpenErrorForAnotherAccount(const std::string& path) {
    const bool root = ::geteuid() == 0;
    if (root) ::chmod(path.c_str(), 0666);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(255);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

}  // namespace testutil
