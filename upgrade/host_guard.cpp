#include "upgrade/host_guard.h"

#include <unistd.h>

#include "platform/host_power.h"

bool HostBatteryTooLow() {
    const platform::HostPower power = platform::QueryHostPower();
    return power.answered && power.onBattery && power.batteryPresent &&
           power.percentage < kLowBatteryPercent;
}

bool CUpgradeLocks::Take(std::string* why) {
    Release();
    fd_ = platform::TakeInhibitorLock(kInhibitWhat, kInhibitWho, kInhibitWhy, "block", why);
    return fd_ >= 0;
}

void CUpgradeLocks::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
