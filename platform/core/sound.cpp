#include "platform/sound.h"

#include <atomic>

#include "platform/wincore.h"

namespace platform {
namespace {
std::atomic<BeepPlayer> player{nullptr};
// Indexed by the icon bits of the type (0x00, 0x10 ... 0x70 → 0..7).
std::atomic<unsigned long> counts[8];
}  // namespace

BeepPlayer SetBeepPlayer(BeepPlayer p) {
    return player.exchange(p);
}

unsigned long BeepCount(UINT type) {
    return counts[(type >> 4) & 7].load();
}

}  // namespace platform

BOOL MessageBeep(UINT type) {
    platform::counts[(type >> 4) & 7].fetch_add(1);
    if (platform::BeepPlayer p = platform::player.load()) p(type);
    return TRUE;
}
