#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/host_power.h"

namespace platform {
namespace {

// Long enough for a busy daemon, short enough that a hung one does not stall the start of an
// upgrade for long (sd-bus's own default is 25 s).
constexpr unsigned long long kCallTimeoutUsec = 2'000'000;

struct Bus {
    sd_bus* bus = nullptr;
    ~Bus() {
        if (bus != nullptr) sd_bus_flush_close_unref(bus);
    }
};

struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
    std::string Text(int r) const {
        if (sd_bus_error_is_set(&error))
            return std::string(error.message != nullptr ? error.message : error.name);
        return std::strerror(r < 0 ? -r : r);
    }
};

struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

bool OpenSystem(Bus* bus) {
    if (sd_bus_open_system(&bus->bus) < 0) return false;
    sd_bus_set_method_call_timeout(bus->bus, kCallTimeoutUsec);
    return true;
}

constexpr char kUPower[] = "org.freedesktop.UPower";
constexpr char kUPowerPath[] = "/org/freedesktop/UPower";
constexpr char kDeviceInterface[] = "org.freedesktop.UPower.Device";

}  // namespace

HostPower QueryHostPower() {
    HostPower power;
    Bus bus;
    if (!OpenSystem(&bus)) return power;
    Error error;
    int onBattery = 0;
    if (sd_bus_get_property_trivial(bus.bus, kUPower, kUPowerPath, kUPower, "OnBattery",
                                    &error.error, 'b', &onBattery) < 0)
        return power;
    power.answered = true;
    power.onBattery = onBattery != 0;

    std::string device = "/org/freedesktop/UPower/devices/DisplayDevice";
    Message reply;
    Error displayError;
    const char* path = nullptr;
    if (sd_bus_call_method(bus.bus, kUPower, kUPowerPath, kUPower, "GetDisplayDevice",
                           &displayError.error, &reply.m, "") >= 0 &&
        sd_bus_message_read(reply.m, "o", &path) >= 0 && path != nullptr)
        device = path;
    Error deviceError;
    int present = 0;
    double percentage = 0;
    if (sd_bus_get_property_trivial(bus.bus, kUPower, device.c_str(), kDeviceInterface,
                                    "IsPresent", &deviceError.error, 'b', &present) >= 0 &&
        sd_bus_get_property_trivial(bus.bus, kUPower, device.c_str(), kDeviceInterface,
                                    "Percentage", &deviceError.error, 'd', &percentage) >= 0) {
        power.batteryPresent = present != 0;
        power.percentage = percentage;
    }
    return power;
}

int TakeInhibitorLock(const char* what, const char* who, const char* why, const char* mode,
                      std::string* error) {
    Bus bus;
    if (!OpenSystem(&bus)) {
        *error = "no system bus";
        return -1;
    }
    Error callError;
    Message reply;
    int r = sd_bus_call_method(bus.bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", &callError.error,
                               &reply.m, "ssss", what, who, why, mode);
    if (r < 0) {
        *error = callError.Text(r);
        return -1;
    }
    int fd = -1;
    r = sd_bus_message_read(reply.m, "h", &fd);
    // The reply owns its descriptor; the lock is held by a copy of our own.
    const int held = r >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
    if (held < 0) *error = "logind sent no lock descriptor";
    return held;
}

struct PortalInhibit {
    sd_bus* bus = nullptr;  // the portal ends the request if this connection goes
    std::string handle;
};

PortalInhibit* BeginPortalInhibit(const char* parentWindow, unsigned flags, const char* reason) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return nullptr;
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
    Error error;
    Message reply;
    const char* handle = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                           "org.freedesktop.portal.Inhibit", "Inhibit", &error.error, &reply.m,
                           "sua{sv}", parentWindow, flags, 1, "reason", "s", reason) < 0 ||
        sd_bus_message_read(reply.m, "o", &handle) < 0 || handle == nullptr) {
        sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    return new PortalInhibit{bus, handle};
}

void EndPortalInhibit(PortalInhibit* request) {
    if (request == nullptr) return;
    Error error;
    sd_bus_call_method(request->bus, "org.freedesktop.portal.Desktop", request->handle.c_str(),
                       "org.freedesktop.portal.Request", "Close", &error.error, nullptr, "");
    sd_bus_flush_close_unref(request->bus);
    delete request;
}

}  // namespace platform
