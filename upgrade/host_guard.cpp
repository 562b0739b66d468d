#include "upgrade/host_guard.h"

#include <signal.h>
#include <unistd.h>

#include "platform/host_power.h"
#include "platform/host_signals.h"

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

std::string LockNotHeldText(const std::string& why) {
    return "this computer could not be kept from sleeping or shutting down during the upgrade (" +
           why + ")";
}

CHostGuard::Start CHostGuard::Begin(platform::BusDeadline deadline, bool checkBattery,
                                    const std::function<bool()>& between) {
    m_why.clear();
    m_narrowed.clear();
    if (checkBattery && HostBatteryTooLow(deadline)) return Start::BatteryLow;
    if (between) {
        const platform::BusDeadline before = platform::BusDeadlineAfter(0);
        if (!between()) return Start::Refused;
        deadline += platform::BusDeadlineAfter(0) - before;
    }
    m_locks.Take(deadline, &m_why, &m_narrowed);
    return Start::Go;
}

bool CHostGuard::ReadyForFirstBlock() {
    if (platform::CaughtSignalPending()) return false;
    platform::CatchSignals({SIGTSTP});
    return true;
}
