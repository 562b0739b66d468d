// --version of the three programs: the project's version, and for the two that upgrade the
// firmware they carry and its image's CRC-32. The window's answer must come with no display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/cli/flash_child.h"
#include "tests/support/pty_helpers.h"
#include "upgrade/image_checksum.h"

namespace {

// A program started with no display in its environment: one that brought Qt up would fail.
struct NoDisplayChild : clitest::Flash {
    explicit NoDisplayChild(std::vector<std::string> args) {
        errPath = testutil::TempPath("version-err");
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0 &&
                entry.rfind("QT_QPA_PLATFORM=", 0) != 0)
                env_.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& entry : env_) envp.push_back(entry.data());
        envp.push_back(nullptr);
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pid = testutil::Spawn(std::move(args), -1, fds[1], errPath, envp.data());
        EXPECT_GT(pid, 0);
        ::close(fds[1]);
        out = fds[0];
    }
    std::vector<std::string> env_;
};

// The checksum of the image the build embeds, read from the file rather than the program.
std::string FileImageCrc32() {
    const std::string file = clitest::ReadFile(VANTRA_FIRMWARE_144_BIN);
    EXPECT_GT(file.size(), 8u);
    char text[16];
    std::snprintf(text, sizeof text, "%08X",
                  Crc32(reinterpret_cast<const std::uint8_t*>(file.data()) + 8, file.size() - 8));
    return text;
}

TEST(Version, EachProgramNamesItsVersionAndTheFirmwareItCarries) {
    const std::string firmware = "firmware V4.02.N.01, image CRC-32 " + FileImageCrc32() + "\n";
    struct Case {
        const char* name;
        const char* program;
        std::string carried;
    };
    const Case cases[] = {
        {"vantra", VANTRA_WINDOW, firmware},
        {"vantra-flash", VANTRA_FLASH, firmware},
        {"vantra-boardsim", VANTRA_BOARDSIM, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NoDisplayChild child({c.program, "--version"});
        EXPECT_EQ(child.Wait(), 0);
        EXPECT_EQ(child.stdoutText, std::string(c.name) + " " VANTRA_VERSION "\n" + c.carried);
        EXPECT_EQ(child.err, "");
    }
}

}  // namespace
