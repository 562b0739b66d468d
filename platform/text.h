// 8-bit program texts widened for the system's and the framework's 16-bit calls.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

namespace platform {

// Copies `text` into `out`, each byte 0x00-0xFF becoming the 16-bit unit of the same value, and
// terminates it. At most `capacity` units are written, the terminator included, so a longer
// text is cut to capacity - 1 characters; a capacity of 0 writes nothing. Returns the number of
// characters written before the terminator.
inline std::size_t WidenText(const char* text, WCHAR* out, std::size_t capacity) {
    if (capacity == 0) return 0;
    std::size_t n = 0;
    for (; text[n] != 0 && n + 1 < capacity; ++n) out[n] = static_cast<unsigned char>(text[n]);
    out[n] = 0;
    return n;
}

}  // namespace platform
