// The checksum of a firmware image as vantra-flash logs it and the simulated board reports it,
// so the two can be compared with each other and with a file.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 as zlib and zip compute it (reflected polynomial 0xEDB88320, all ones in and out).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t length);
