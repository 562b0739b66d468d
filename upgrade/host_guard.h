// What both programs ask of the host around a transfer: not to start on a nearly flat battery,
// and from the first block to the verdict no sleep, shutdown, idle action, lid or power key, nor
// a stop by Ctrl-Z. Bus traffic happens only before the first block and at the verdict, never
// between blocks.
#pragma once

#include <functional>
#include <string>

#include "platform/host_power.h"

inline constexpr char kBatteryTooLow[] = "Battery Too Low. Connect The Charger Before Upgrading.";
inline constexpr double kLowBatteryPercent = 10.0;

// The logind lock: who holds it and why, as `systemd-inhibit --list` shows it.
inline constexpr char kInhibitWhat[] =
    "sleep:shutdown:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
    "handle-lid-switch";
// What logind is asked for when it refuses the above: polkit may deny the handle-* keys to an
// account it would let hold off sleep, shutdown and idle.
inline constexpr char kInhibitFallbackWhat[] = "sleep:shutdown:idle";
inline constexpr char kInhibitWho[] = "Vantra";
inline constexpr char kInhibitWhy[] =
    "A firmware upgrade is in progress; interrupting it may disable the instrument.";

// The bus calls before a transfer (battery, lock, and the window's portal) share one deadline,
// set once as they begin, so a bus that never answers delays the start by this much in all.
// The verdict's one bus call (the portal's Close) gets a deadline of its own, as long.
inline constexpr unsigned kHostCheckMs = 2000;
inline platform::BusDeadline HostCheckDeadline() {
    return platform::BusDeadlineAfter(kHostCheckMs);
}

// True only when UPower says the host runs on a battery that is present and below 10 %. No
// UPower, no battery, no answer by `deadline` or mains power: false, and the upgrade goes ahead.
bool HostBatteryTooLow(platform::BusDeadline deadline);

// The inhibitor lock, held from Take to Release (or destruction). Release only closes the
// lock's descriptor: no bus call, nothing to wait for.
class CUpgradeLocks {
public:
    CUpgradeLocks() = default;
    CUpgradeLocks(const CUpgradeLocks&) = delete;
    CUpgradeLocks& operator=(const CUpgradeLocks&) = delete;
    ~CUpgradeLocks() { Release(); }

    // False with the reason in `why` when the lock could not be taken by `deadline` (no system
    // bus, no answer, no logind, refused); the upgrade carries on without it. When logind
    // refuses kInhibitWhat but grants kInhibitFallbackWhat, true with the sentence to tell the
    // user in `narrowed` (otherwise left empty).
    bool Take(platform::BusDeadline deadline, std::string* why, std::string* narrowed);
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// What the user is told, in both programs, when the lock could not be taken.
std::string LockNotHeldText(const std::string& why);

// The one guard both hosts put around a transfer: the battery and the lock before the first
// block, the last look just before it, and at the verdict the lock let go.
class CHostGuard {
public:
    enum class Start {
        Go,          // the lock may still be missing: LockHeld and Narrowed say what to tell
        BatteryLow,  // nothing was sent, nor the lock asked for
        Refused,     // the host's own steps between the checks refused
    };

    // The battery (unless `checkBattery` is false), then `between`, the host's own steps (false
    // refuses), then the lock. The time `between` takes is not charged to `deadline`, which
    // bounds the bus calls alone. Any thread may run it; the host reads the answers once it
    // has ended.
    Start Begin(platform::BusDeadline deadline, bool checkBattery,
                const std::function<bool()>& between = nullptr);
    bool LockHeld() const { return m_locks.Held(); }
    const std::string& LockRefusal() const { return m_why; }
    const std::string& Narrowed() const { return m_narrowed; }

    // The last look before block 0, on the host's thread: false when a caught signal waits to
    // be taken, and nothing is sent. Otherwise Ctrl-Z is caught from here on, held until the
    // host gives SIGTSTP back once a stop can no longer cut the line.
    bool ReadyForFirstBlock();

    // At the verdict, or after a refusal: the lock goes, with no bus call.
    void End() { m_locks.Release(); }

private:
    CUpgradeLocks m_locks;
    std::string m_why;
    std::string m_narrowed;
};
