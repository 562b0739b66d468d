#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace {

TEST(Text, WidensByteForByteAndCutsToTheCapacity) {
    constexpr WCHAR kUntouched = 0xAAAA;
    struct Case {
        const char* text;
        std::size_t capacity;
        std::u16string expected;
    };
    const Case cases[] = {
        {"COM1:", 8, u"COM1:"},
        {"", 8, u""},
        {"abc", 4, u"abc"},   // exactly fits with its terminator
        {"abcd", 4, u"abc"},  // one too many: cut, still terminated
        {"abc", 1, u""},
        {"abc", 0, u""},  // nothing written at all
        // Bytes above 0x7F are Latin-1, not sign-extended into the 0xFFxx range.
        {"\x7F\x80\xE9\xFF", 8, u"\u007F\u0080\u00E9\u00FF"},
    };
    for (const Case& c : cases) {
        WCHAR out[8];
        std::fill(std::begin(out), std::end(out), kUntouched);
        const std::size_t n = platform::WidenText(c.text, out, c.capacity);
        EXPECT_EQ(n, c.expected.size()) << c.text << " in " << c.capacity;
        if (c.capacity > 0) {
            EXPECT_EQ(std::u16string(out, n), c.expected) << c.text << " in " << c.capacity;
            EXPECT_EQ(out[n], 0) << c.text << " in " << c.capacity;
        }
        for (std::size_t i = c.capacity; i < 8; ++i)
            EXPECT_EQ(out[i], kUntouched) << c.text << " in " << c.capacity << " wrote past it";
    }
}

// Texts from boards, devices and other programs reach a terminal shown, never obeyed; commands
// shown to be copied stay one word each.
TEST(Text, EscapesWhatATerminalWouldObeyAndQuotesWhatAShellWould) {
    const std::pair<std::string, std::string> escaped[] = {
        {"V4.01", "V4.01"},
        {std::string("\0\x1F \x7E\x7F", 5), "\\x00\\x1F ~\\x7F"},
        {"\r\x1b[2KV9.9\n", "\\x0D\\x1B[2KV9.9\\x0A"},
        {"\x80\xC3\xA9\xFF", "\\x80\\xC3\\xA9\\xFF"},  // bytes, not characters
        {"a\\x41", "a\\x41"},                          // a backslash is left as it is
    };
    for (const auto& [text, shown] : escaped) EXPECT_EQ(platform::EscapeText(text), shown);
    const std::pair<std::string, std::string> words[] = {
        {"/sys/class/tty/ttyUSB0/device/latency_timer",
         "/sys/class/tty/ttyUSB0/device/latency_timer"},
        {"/sys/class/tty/pts!3", "'/sys/class/tty/pts!3'"},
        {"it's", "'it'\\''s'"},
        {"", "''"},
    };
    for (const auto& [word, quoted] : words) EXPECT_EQ(platform::ShellWord(word), quoted);
}

}  // namespace
