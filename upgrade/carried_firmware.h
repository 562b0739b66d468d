// What the programs say of the firmware they carry: the version it installs and its image's
// CRC-32, in one place so --version and the upgrade record can never disagree.
#pragma once

#include <string>

#include "upgrade/firmware_transfer.h"

// "V4.02.N.01": the version named by kNewVersionText.
const char* CarriedVersion();

// The image's CRC-32 as eight upper-case hex digits.
std::string ImageCrc32Text(const FirmwareImage& image);

// "firmware V4.02.N.01, image CRC-32 1A2B3C4D\n", or "..., no image carried\n" when the
// resource is missing or unreadable. Needs the program's resources to be set.
std::string CarriedFirmwareLine();
