// The window as a screen reader user meets it: `vantra` on a desktop with the accessibility
// bus, read and followed through AT-SPI by tests/app/screen_reader.py (pyatspi), LOAD pressed
// from the keyboard alone, against the simulated board at a line speed that makes the transfer
// last seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/listed_board.h"
#include "tests/support/probe_process.h"
#include "tests/support/wait_until.h"
#include "tests/support/x_desktop.h"
#include "ui/vantra_view.h"
#include "upgrade/firmware_transfer.h"

namespace {

constexpr char kBusLauncher[] = "/usr/libexec/at-spi-bus-launcher";
// Debian's interpreter, where python3-pyatspi is installed (not one earlier on PATH).
constexpr char kPython[] = "/usr/bin/python3";
constexpr char kBoardVersion[] = "V3.97.Q.12";

// Why a screen reader cannot be played here, or empty.
std::string AtSpiMissing() {
    if (::access(kBusLauncher, X_OK) != 0) return "at-spi2-core is not installed";
    const std::string check = std::string(kPython) + " -c 'import pyatspi' >/dev/null 2>&1";
    if (std::system(check.c_str()) != 0) return "python3-pyatspi is not installed";
    return testsupport::XDesktop::Missing();
}

// The accessibility bus, as a desktop session starts it. SIGTERM, even when a test fails
// early: the launcher then takes the bus daemon it started down with it.
class AccessibilityBus {
public:
    explicit AccessibilityBus(const std::string& display)
        : launcher_({kBusLauncher, "--launch-immediately"}, {display}) {}
    ~AccessibilityBus() {
        ::kill(launcher_.Pid(), SIGTERM);
        launcher_.Finish(5000);
    }
    // Once the launcher holds its name; asking the bus itself would have the session bus start
    // a second launcher.
    bool Ready() {
        return testutil::WaitUntil([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return std::system("dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                               "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
                               "string:org.a11y.Bus | grep -q 'boolean true'") == 0;
        });
    }

private:
    testutil::ProbeProcess launcher_;
};

std::string Shown(const char* format, const char* value) {
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

TEST(ScreenReader, ReadsTheWindowAndFollowsAnUpgradeStartedFromTheKeyboard) {
    const std::string missing = AtSpiMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    testsupport::XDesktop desktop;
    ASSERT_TRUE(desktop.Start()) << desktop.Error();
    const std::string display = "DISPLAY=" + desktop.Display();
    AccessibilityBus bus(display);
    ASSERT_TRUE(bus.Ready()) << "at-spi-bus-launcher did not take its name on the session bus";
    testutil::ListedBoard board({"--baud", "115200", "--version", kBoardVersion});
    testutil::ProbeProcess app(
        {VANTRA_PROGRAM},
        {display, "QT_QPA_PLATFORM=xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1",
         "VANTRA_REGISTRY=" + board.hive, "LSAN_OPTIONS=suppressions=" VANTRA_LSAN_SUPPRESSIONS});
    testutil::ProbeProcess reader({kPython, VANTRA_SCREEN_READER, std::to_string(app.Pid())},
                                  {display});
    ASSERT_TRUE(reader.WaitFor("ready", 90000)) << reader.Text("error");

    // The four painted texts, in reading order, with the board's version as shown.
    ASSERT_EQ(reader.Number("labels"), 4);
    EXPECT_EQ(reader.Text("label0"), kWarningText);
    EXPECT_EQ(reader.Text("label1"), Shown(kCurrentVersionFormat, kBoardVersion));
    EXPECT_EQ(reader.Text("label2"), kNewVersionText);
    EXPECT_EQ(reader.Text("label3"), kPressLoadText);
    EXPECT_EQ(reader.Text("load-actions").rfind("Press", 0), 0u) << reader.Text("load-actions");
    EXPECT_EQ(reader.Number("load-focused"), 1) << "LOAD is not where the keyboard starts";
    EXPECT_EQ(reader.Text("progress-name"), "Upgrade progress");
    EXPECT_EQ(reader.Text("toolbar-buttons"), "Close,About");

    // The keyboard alone: the window brought to the front, then Space on the focused LOAD.
    ASSERT_TRUE(desktop.Focus(app.Pid(), "Vantra"));
    ASSERT_TRUE(desktop.Key("space"));
    ASSERT_TRUE(reader.WaitFor("done", 120000)) << reader.Text("error");
    EXPECT_GE(reader.Number("progress-rises"), 5) << "the bar's value did not follow the transfer";
    EXPECT_EQ(reader.Number("progress-falls"), 0);
    EXPECT_EQ(reader.Number("load-enabled-during"), 0);
    EXPECT_EQ(reader.Number("press-tried"), 1);
    EXPECT_EQ(reader.Text("alert-description"), kTransferComplete);
    EXPECT_NE(reader.Text("alert-labels").find(kTransferComplete), std::string::npos);
    EXPECT_EQ(reader.Number("alert-ok-pressed"), 1);
    EXPECT_EQ(reader.Number("alerts-after"), 0) << "the refused press came back";
    EXPECT_EQ(reader.Number("load-enabled-after"), 1);
    EXPECT_EQ(reader.Finish(10000), 0);

    ::kill(app.Pid(), SIGTERM);  // at rest: the window ends
    EXPECT_EQ(app.Finish(30000), 0);
    // One transfer, whole: the press during it started no second one.
    const std::string summary = board.Finish();
    EXPECT_NE(summary.find("blocks=536 first=0x0 last=0x85C0 gaps=0 repeats=0"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("expect=match"), std::string::npos) << summary;
}

}  // namespace
