#include "upgrade/host_guard.h"

#include <unistd.h>

#include "platform/host_power.h"

bool HostBatteryTooLow(platform::BusDeadline deadline) {
    const platform::HostPower power = platform::QueryHostPower(deadline);
    return power.answered && power.onBattery && power.batteryPresent &&
           power.percentage < kLowBatteryPercent;
}

bool CUpgradeLocks::Take(platform::BusDeadline deadline, std::string* why, std::string* narrowed) {
    Release();
    narrowed->clear();
    platform::InhibitorLock lock =
        platform::TakeInhibitorLock(kInhibitWhat, kInhibitWho, kInhibitWhy, "block", deadline);
    if (lock.fd < 0 && lock.refused) {
        const std::string refusal = lock.error;
        lock = platform::TakeInhibitorLock(kInhibitFallbackWhat, kInhibitWho, kInhibitWhy, "block",
                                           deadline);
        if (lock.fd >= 0) {
            *narrowed =
                "logind would not hold off the lid switch and the power, suspend and "
                "hibernate keys (" +
                refusal +
                "); sleep, shutdown and idle are held off, but do not close the lid or "
                "press those keys during the upgrade.";
        } else {
            lock.error = refusal;  // the first refusal says more than the second
        }
    }
    fd_ = lock.fd;
    if (fd_ < 0) *why = lock.error;
    return fd_ >= 0;
}

void CUpgradeLocks::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
