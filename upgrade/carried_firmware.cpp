#include "upgrade/carried_firmware.h"

#include <cstdio>
#include <cstring>

#include "upgrade/image_checksum.h"

const char* CarriedVersion() {
    return std::strchr(kNewVersionText, ':') + 2;
}

std::string ImageCrc32Text(const FirmwareImage& image) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", Crc32(image.bytes, image.length));
    return text;
}

std::string CarriedFirmwareLine() {
    std::string line = std::string("firmware ") + CarriedVersion();
    FirmwareImage image{};
    if (LoadFirmwareImage(kFirmwareResourceId, &image))
        line += ", image CRC-32 " + ImageCrc32Text(image);
    else
        line += ", no image carried";
    return line + "\n";
}
