#include "cli/station.h"

int RunStation(const FlashOptions&) {
    return kExitUsage;
}
