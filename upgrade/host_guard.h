// What both programs ask of the host around a transfer: not to start on a nearly flat battery,
// and from the first block to the verdict no sleep, shutdown, idle action, lid or power key.
// Bus traffic happens only before the first block and at the verdict, never between blocks.
#pragma once

#include <string>

inline constexpr char kBatteryTooLow[] = "Battery Too Low. Connect The Charger Before Upgrading.";
inline constexpr double kLowBatteryPercent = 10.0;

// The logind lock: who holds it and why, as `systemd-inhibit --list` shows it.
inline constexpr char kInhibitWhat[] =
    "sleep:shutdown:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
    "handle-lid-switch";
inline constexpr char kInhibitWho[] = "Vantra";
inline constexpr char kInhibitWhy[] =
    "A firmware upgrade is in progress; interrupting it may disable the instrument.";

// True only when UPower says the host runs on a battery that is present and below 10 %. No
// UPower, no battery or mains power: false, and the upgrade goes ahead.
bool HostBatteryTooLow();

// The inhibitor lock, held from Take to Release (or destruction).
class CUpgradeLocks {
public:
    CUpgradeLocks() = default;
    CUpgradeLocks(const CUpgradeLocks&) = delete;
    CUpgradeLocks& operator=(const CUpgradeLocks&) = delete;
    ~CUpgradeLocks() { Release(); }

    // False with the reason in `why` when the lock could not be taken (no system bus, no
    // logind); the upgrade carries on without it.
    bool Take(std::string* why);
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};
