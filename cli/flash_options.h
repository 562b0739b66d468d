// The command line of vantra-flash.
#pragma once

#include <string>
#include <vector>

// Exit statuses, for scripts and production lines.
inline constexpr int kExitComplete = 0;
inline constexpr int kExitFailed = 1;       // transfer failed, not confirmed, or no image
inline constexpr int kExitNoPort = 2;       // port not found, not opened or not configured
inline constexpr int kExitNoAnswer = 3;     // the board did not answer the version query
inline constexpr int kExitLowPower = 4;     // the computer's battery is too low to start
inline constexpr int kExitNotRecorded = 5;  // complete, but the --log record could not be written
inline constexpr int kExitUsage = 64;  // bad command line, or a log file that cannot be written
inline constexpr int kExitInterrupted = 130;

inline constexpr int kMaxRetries = 20;

struct FlashOptions {
    std::string port;  // empty: the window's discovery
    // With --station, every --port given: a socket each, beside the adapters found.
    std::vector<std::string> stationPorts;
    std::string report;    // --report FILE: read a log and say what it holds; no board touched
    std::string onResult;  // a program (and its arguments, split at spaces) run after each verdict
    int retries = 0;       // more attempts after a failed transfer, while the board answers
    std::string log;       // empty: no record
    std::string trace;     // empty: VANTRA_TRACE, else no trace
    // Where /sys, /run/udev, /proc and /etc/group are read; empty: the live ones.
    std::string sysroot;
    bool doctor = false;
    bool all = false;
    bool station = false;        // every board plugged in, each once, until stopped
    bool stationSocket = false;  // one socket of a station: the station's own child process
    bool again = false;          // a station upgrades boards its log says are done already
    bool yes = false;
    bool json = false;
    bool help = false;
    bool version = false;
    bool ignorePower = false;  // start even on a nearly flat battery
};

// Fills `options` from argv. On a usage error returns false with the reason in `error`.
bool ParseFlashOptions(int argc, char** argv, FlashOptions* options, std::string* error);

extern const char kFlashUsage[];

// What --version prints: the program's version, the firmware it carries and the image's CRC-32
// as the --log record gives it. Needs the program's resources to be set.
std::string FlashVersionText();

// Puts the port named by --port, else by VANTRA_PORT, ahead of discovery, as the window does.
// False, said on standard error, for a VANTRA_PORT too long to hold (the options have already
// refused such a --port).
bool NameChosenPort(const FlashOptions& options);
