// Finding the board's serial port through the active-driver list, opening and configuring it.
#pragma once

#include <string>
#include <vector>

#include "platform/host_facts.h"
#include "platform/wincore.h"

inline constexpr std::size_t kPortNameBytes = 128;

// Name of the port last chosen by OpenPort ("COM1:" when nothing better was found).
extern char g_szPortName[kPortNameBytes];

// Every adapter port the driver list matches, in its order, up to `capacity`; returns how many.
std::size_t FindAdapterPorts(char (*names)[kPortNameBytes], std::size_t capacity);

// Why OpenPort settled on g_szPortName.
enum class PortSource {
    Fallback,  // nothing matched: "COM1:"
    Adapter,   // an adapter in the active-driver list
    Named,     // named by the user, ahead of the list
    Bridge,    // no adapter matched, but exactly one USB-serial bridge is plugged in
};
extern PortSource g_portSource;

// Whether a driver-list product id names a supported adapter (it starts with "Quatech" or
// "CF-Serial_I-O", case and all).
bool IsSupportedAdapter(const char* pnpId);

// A bare USB-serial cable: a USB device bound to ftdi_sio, pl2303, cp210x or ch341. Devices
// with firmware of their own (CDC-ACM: printers, development boards) are not bridges.
bool IsUsbSerialBridge(const platform::SerialDevice& device);

// What discovery settles on, before anything is opened: OpenPort opens it and --doctor
// reports it, so both give the same port for the same reason.
struct PortChoice {
    char name[kPortNameBytes] = "COM1:";
    PortSource source = PortSource::Fallback;
    std::string rule;    // "named", "adapter", "bridge" or "fallback"
    std::string reason;  // why, as the start-up line says it after the port (escaped)
    std::vector<platform::SerialDevice> devices;  // the serial devices sysfs shows, if read
    std::vector<std::string> bridges;             // the USB-serial bridges' nodes among them
};
// `allDevices` describes every serial device (the doctor); otherwise sysfs is read only as far
// as the rule needs, so a named port costs no scan.
PortChoice ChoosePort(bool allDevices = false);

// Whether `device` is the port `choice` settled on: its node, or the device a named link or
// node opens.
bool IsThePort(const platform::SerialDevice& device, const PortChoice& choice);
// Whether `device` is the port `choice` settled on, and why or why not, for a person.
std::string WhyThisPort(const platform::SerialDevice& device, const PortChoice& choice);

// The device a port name opens: "COMn:" (colon optional) is /dev/ttyS<n-1>, a path is itself.
std::string PortDevicePath(const char* name);

// An adapter whose latency timer holds received bytes back, and what that costs an upgrade.
struct SlowAdapter {
    int timerMs;
    double secondsAdded;  // each of an upgrade's acknowledgements waits up to the timer
    std::string fix;      // the command that sets 1 ms
    std::string text;     // all of it, for a person
};
// False when `device` has no latency timer, or one of 1 ms or less.
bool FindSlowAdapter(const platform::SerialDevice& device, SlowAdapter* slow);

// Names the port OpenPort tries before the active-driver list; `origin` says who named it
// ("--port", "VANTRA_PORT") in the start-up log. nullptr forgets it. False, and nothing
// changed, for an empty name or one longer than the port name holds.
bool SetNamedPort(const char* name, const char* origin);

// A port as a user names it (--port, VANTRA_PORT), for SetNamedPort: a bare name is a device
// under /dev ("ttyUSB0" is /dev/ttyUSB0); "COMn:" and paths stay as they are.
std::string UserPortName(const char* typed);

// How opening the port ended. The user has been told of a failure, with PortOpenMessage's text.
enum class PortOpen {
    Opened,
    CannotOpen,           // the open itself failed (`error` says why), or there was no transport
    LineSettingsRefused,  // opened, but the line settings were refused; closed again
};
struct PortOpenResult {
    PortOpen outcome = PortOpen::CannotOpen;
    DWORD error = 0;  // CannotOpen: the system's error code of the failed open
    bool opened() const { return outcome == PortOpen::Opened; }
};
// The message box's text for a failed open; nullptr for Opened.
const char* PortOpenMessage(PortOpen outcome);

// Finds, opens and configures the port, leaving its handle in g_hPort. Says on standard error
// which port it tried and why, why an open failed, and when the adapter's latency timer slows
// the upgrade.
PortOpenResult OpenPort();
