#include "cli/station.h"

int RunStation(const FlashOptions&) {
    return kExitUsage;
}

int RunStationSocket(const FlashOptions&) {
    return kExitUsage;
}
