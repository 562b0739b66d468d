// 8-bit program texts widened for the system's and the framework's 16-bit calls, and shown to a
// person or a shell without being obeyed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// `text` for a person's eyes: every byte a terminal could act on (below 0x20, and 0x7F up) is
// shown as \xNN instead, so a board's version text, a device's product string or a process
// name can never move the cursor, erase a line or forge one. Used for every line meant to be
// read; JSON has its own escapes.
inline std::string EscapeText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

// `word` as one word for a POSIX shell: as it stands when it holds nothing the shell would act
// on, in single quotes otherwise, so a command shown to be copied does what it says.
inline std::string ShellWord(std::string_view word) {
    bool plain = !word.empty();
    for (const char c : word) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                          c == ':' || c == '+' || c == ',' || c == '=' || c == '@';
        plain = plain && safe;
    }
    if (plain) return std::string(word);
    std::string out = "'";
    for (const char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace platform
