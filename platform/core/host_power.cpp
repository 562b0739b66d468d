#include "platform/host_power.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/trace.h"

namespace platform {
namespace {

std::uint64_t NowUsec() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// A D-Bus address value: bytes outside the safe set are written %xx.
std::string EscapeAddressValue(const char* text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : std::string(text)) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            std::strchr("-_/.\\*", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

enum class Which { System, Session };

// The address sd_bus_open_system and sd_bus_open_user would choose; they cannot be used
// themselves, since they start the connection before its time-out can be set. "" for none.
std::string AddressOf(Which which) {
    if (which == Which::System) {
        const char* set = ::secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
        return set != nullptr && *set != '\0' ? set : "unix:path=/run/dbus/system_bus_socket";
    }
    if (const char* set = ::secure_getenv("DBUS_SESSION_BUS_ADDRESS"); set != nullptr && *set)
        return set;
    const char* runtime = ::secure_getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return "";
    return "unix:path=" + EscapeAddressValue(runtime) + "/bus";
}

struct Message {
    sd_bus_message* m = nullptr;
    Message() = default;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message() { sd_bus_message_unref(m); }
};

// One connection whose every step is bounded by one deadline. sd-bus's blocking calls wait for
// authentication on a time-out of their own (90 s) that the method-call time-out does not cover,
// and return EINTR at a signal; so each call here is sent asynchronously and the connection is
// driven by hand until the reply or the deadline.
class Connection {
public:
    Connection(Which which, BusDeadline deadline) : which_(which), deadline_(deadline) {
        const std::string address = AddressOf(which);
        const std::uint64_t now = NowUsec();
        if (address.empty() || now >= deadline_) {
            error_ = address.empty() ? NoBus() : NoAnswer();
            return;
        }
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) {
            error_ = NoBus();
            return;
        }
        // The Hello sd-bus sends on its own is a method call too: it gets no longer than the rest.
        if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_set_method_call_timeout(bus, deadline_ - now) < 0 || sd_bus_start(bus) < 0) {
            sd_bus_unref(bus);
            error_ = NoBus();
            return;
        }
        bus_ = bus;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Closed without a flush: sd_bus_flush first waits for authentication, unbounded by us.
    ~Connection() { sd_bus_close_unref(bus_); }

    const std::string& Error() const { return error_; }
    void SetDeadline(BusDeadline deadline) { deadline_ = deadline; }

    // Calls `member` with the arguments `types` names. True with the reply; false with the
    // reason in Error(), and Refused() when the service itself answered with an error.
    bool Call(Message* reply, const char* destination, const char* path, const char* interface,
              const char* member, const char* types, ...) {
        refused_ = false;
        if (bus_ == nullptr) return false;
        Message request;
        int r =
            sd_bus_message_new_method_call(bus_, &request.m, destination, path, interface, member);
        if (r >= 0 && types != nullptr && *types != '\0') {
            va_list args;
            va_start(args, types);
            r = sd_bus_message_appendv(request.m, types, args);
            va_end(args);
        }
        if (r < 0) {
            error_ = std::strerror(-r);
            return false;
        }
        r = Exchange(request.m, &reply->m);
        if (r < 0) {
            error_ = r == -ETIMEDOUT ? NoAnswer() : std::strerror(-r);
            return false;
        }
        if (!sd_bus_message_is_method_error(reply->m, nullptr)) return true;
        const sd_bus_error* e = sd_bus_message_get_error(reply->m);
        const char* name = e != nullptr && e->name != nullptr ? e->name : "";
        if (std::strcmp(name, SD_BUS_ERROR_NO_REPLY) == 0 ||
            std::strcmp(name, SD_BUS_ERROR_TIMEOUT) == 0) {
            error_ = NoAnswer();  // sd-bus's own timer on the call, set to the same deadline
            return false;
        }
        // The bus daemon's errors mean the service is not there; any other came from it.
        refused_ = std::strcmp(name, SD_BUS_ERROR_SERVICE_UNKNOWN) != 0 &&
                   std::strcmp(name, SD_BUS_ERROR_NAME_HAS_NO_OWNER) != 0;
        error_ = e != nullptr && e->message != nullptr ? e->message : name;
        return false;
    }
    bool Refused() const { return refused_; }

    // A property of a basic type `type` ('b', 'd', ...) into `out`.
    bool GetProperty(const char* destination, const char* path, const char* interface,
                     const char* name, char type, void* out) {
        Message reply;
        const char signature[2] = {type, '\0'};
        return Call(&reply, destination, path, "org.freedesktop.DBus.Properties", "Get", "ss",
                    interface, name) &&
               sd_bus_message_enter_container(reply.m, 'v', signature) > 0 &&
               sd_bus_message_read_basic(reply.m, type, out) > 0;
    }

private:
    static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        *static_cast<sd_bus_message**>(userdata) = sd_bus_message_ref(m);
        return 0;
    }

    // Sends `request` and drives the connection (authentication and Hello first, if still due)
    // until its reply or the deadline: 0 with the reply, -ETIMEDOUT, or the connection's error.
    int Exchange(sd_bus_message* request, sd_bus_message** reply) {
        std::uint64_t now = NowUsec();
        if (now >= deadline_) return -ETIMEDOUT;
        sd_bus_slot* slot = nullptr;
        int r =
            sd_bus_call_async(bus_, &slot, request, &Connection::OnReply, reply, deadline_ - now);
        while (r >= 0 && *reply == nullptr) {
            r = sd_bus_process(bus_, nullptr);
            if (r == -EINTR) r = 0;
            if (r < 0 || *reply != nullptr) break;
            now = NowUsec();
            if (now >= deadline_) {
                r = -ETIMEDOUT;
                break;
            }
            if (r > 0) continue;  // more may be ready without waiting
            r = sd_bus_wait(bus_, deadline_ - now);
            if (r == -EINTR) r = 0;  // a signal: wait on, to the same deadline
        }
        sd_bus_slot_unref(slot);  // a reply still due is dropped with it
        return *reply != nullptr ? 0 : r < 0 ? r : -ETIMEDOUT;
    }

    std::string NoBus() const {
        return which_ == Which::System ? "no system bus" : "no session bus";
    }
    std::string NoAnswer() const {
        return which_ == Which::System ? "the system bus did not answer in time"
                                       : "the session bus did not answer in time";
    }

    Which which_;
    BusDeadline deadline_;
    sd_bus* bus_ = nullptr;
    std::string error_;
    bool refused_ = false;
};

constexpr char kUPower[] = "org.freedesktop.UPower";
constexpr char kUPowerPath[] = "/org/freedesktop/UPower";
constexpr char kDeviceInterface[] = "org.freedesktop.UPower.Device";

}  // namespace

BusDeadline BusDeadlineAfter(unsigned milliseconds) {
    return NowUsec() + static_cast<std::uint64_t>(milliseconds) * 1000u;
}

namespace {
HostPower AskHostPower(BusDeadline deadline);

// What a bus call came to, for the trace; never between two blocks.
void TraceBus(const char* call, const char* format, ...) __attribute__((format(printf, 2, 3)));
void TraceBus(const char* call, const char* format, ...) {
    if (!Tracing()) return;
    char text[kTraceText + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    TraceText(TraceKind::Bus, text, call);
}
}  // namespace

HostPower QueryHostPower(BusDeadline deadline) {
    const HostPower power = AskHostPower(deadline);
    TraceBus("upower", "answered=%d on_battery=%d battery=%d percent=%.0f", power.answered,
             power.onBattery, power.batteryPresent, power.percentage);
    return power;
}

namespace {
HostPower AskHostPower(BusDeadline deadline) {
    HostPower power;
    Connection bus(Which::System, deadline);
    int onBattery = 0;
    if (!bus.GetProperty(kUPower, kUPowerPath, kUPower, "OnBattery", 'b', &onBattery)) return power;
    power.answered = true;
    power.onBattery = onBattery != 0;

    std::string device = "/org/freedesktop/UPower/devices/DisplayDevice";
    Message reply;
    const char* path = nullptr;
    if (bus.Call(&reply, kUPower, kUPowerPath, kUPower, "GetDisplayDevice", "") &&
        sd_bus_message_read(reply.m, "o", &path) > 0 && path != nullptr)
        device = path;
    int present = 0;
    double percentage = 0;
    if (bus.GetProperty(kUPower, device.c_str(), kDeviceInterface, "IsPresent", 'b', &present) &&
        bus.GetProperty(kUPower, device.c_str(), kDeviceInterface, "Percentage", 'd',
                        &percentage)) {
        power.batteryPresent = present != 0;
        power.percentage = percentage;
    }
    return power;
}
}  // namespace

namespace {
InhibitorLock AskInhibitorLock(const char* what, const char* who, const char* why, const char* mode,
                               BusDeadline deadline) {
    InhibitorLock lock;
    Connection bus(Which::System, deadline);
    Message reply;
    if (!bus.Call(&reply, "org.freedesktop.login1", "/org/freedesktop/login1",
                  "org.freedesktop.login1.Manager", "Inhibit", "ssss", what, who, why, mode)) {
        lock.refused = bus.Refused();
        lock.error = bus.Error();
        return lock;
    }
    int fd = -1;
    // The reply owns its descriptor; the lock is held by a copy of our own.
    if (sd_bus_message_read(reply.m, "h", &fd) > 0) lock.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (lock.fd < 0) lock.error = "logind sent no lock descriptor";
    return lock;
}
}  // namespace

InhibitorLock TakeInhibitorLock(const char* what, const char* who, const char* why,
                                const char* mode, BusDeadline deadline) {
    InhibitorLock lock = AskInhibitorLock(what, who, why, mode, deadline);
    TraceBus("logind-inhibit", "mode=%s held=%d refused=%d %s", mode, lock.fd >= 0, lock.refused,
             lock.error.c_str());
    return lock;
}

struct PortalInhibit {
    explicit PortalInhibit(BusDeadline deadline) : bus(Which::Session, deadline) {}
    Connection bus;  // the portal ends the request if this connection goes
    std::string handle;
};

PortalInhibit* BeginPortalInhibit(const char* parentWindow, unsigned flags, const char* reason,
                                  BusDeadline deadline) {
    auto* request = new PortalInhibit(deadline);
    Message reply;
    const char* handle = nullptr;
    if (!request->bus.Call(&reply, "org.freedesktop.portal.Desktop",
                           "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit",
                           "Inhibit", "sua{sv}", parentWindow, flags, 1, "reason", "s", reason) ||
        sd_bus_message_read(reply.m, "o", &handle) <= 0 || handle == nullptr) {
        delete request;
        TraceBus("portal-inhibit", "flags=%u held=0", flags);
        return nullptr;
    }
    request->handle = handle;
    TraceBus("portal-inhibit", "flags=%u held=1", flags);
    return request;
}

void EndPortalInhibit(PortalInhibit* request, BusDeadline deadline) {
    if (request == nullptr) return;
    // The connection's deadline was the start's; the verdict brings its own.
    request->bus.SetDeadline(deadline);
    Message reply;
    const bool closed =
        request->bus.Call(&reply, "org.freedesktop.portal.Desktop", request->handle.c_str(),
                          "org.freedesktop.portal.Request", "Close", "");
    TraceBus("portal-close", "answered=%d", closed);
    delete request;
}

}  // namespace platform
