#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/host_facts.h"
#include "platform/message_box.h"
#include "platform/winserial.h"
#include "tests/support/pty_helpers.h"
#include "tests/support/sys_tree.h"
#include "transport/link_session.h"
#include "transport/port_discovery.h"
#include "transport/serial_transport.h"

namespace {

using testutil::DriverKey;
using testutil::Hive;
using testutil::PtyPair;

class Discovery : public ::testing::Test {
protected:
    void SetUp() override { platform::TakeRecordedMessages(); }
    void TearDown() override {
        HANDLE port = g_hPort.exchange(INVALID_HANDLE_VALUE);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    // The port OpenPort settled on, and whether it opened it.
    std::string Run(bool* opened) {
        *opened = OpenPort().opened();
        return g_szPortName;
    }
};

TEST_F(Discovery, QuatechCardIsFoundByItsPnpIdPrefix) {
    PtyPair pty;
    std::string other = "/dev/vantra-other";
    Hive hive(DriverKey("01", "Generic", &other) + DriverKey("02", "Quatech-SSP-100", &pty.path));
    bool opened = false;
    EXPECT_EQ(Run(&opened), pty.path);
    EXPECT_TRUE(opened);
    EXPECT_NE(g_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(platform::TakeRecordedMessages().empty());
}

TEST_F(Discovery, CfSerialPrefixMatchesOnlyInItsOwnCase) {
    PtyPair pty;
    std::string wrong = "/dev/vantra-lower-case";
    Hive hive(DriverKey("01", "cf-serial_i-o card", &wrong) +
              DriverKey("02", "CF-Serial_I-O card rev B", &pty.path));
    bool opened = false;
    EXPECT_EQ(Run(&opened), pty.path);
    EXPECT_TRUE(opened);
}

TEST_F(Discovery, LongPnpIdDoesNotShortenTheNextQuery) {
    PtyPair pty;
    std::string other = "/dev/vantra-other";
    Hive hive(DriverKey("01", std::string(120, 'z'), &other) +
              DriverKey("02", "Quatech" + std::string(240, 'q'), &pty.path));
    bool opened = false;
    EXPECT_EQ(Run(&opened), pty.path);
}

TEST_F(Discovery, MatchWithoutUsableNameKeepsLooking) {
    PtyPair pty;
    std::string tooLong = "/dev/" + std::string(200, 'n');
    Hive hive(DriverKey("01", "Quatech no name", nullptr) +
              DriverKey("02", "Quatech long name", &tooLong) +
              DriverKey("03", "CF-Serial_I-O", &pty.path));
    bool opened = false;
    EXPECT_EQ(Run(&opened), pty.path);
}

TEST_F(Discovery, NoMatchFallsBackToCom1) {
    std::string tooLong = "/dev/" + std::string(200, 'n');
    Hive hive(DriverKey("01", "Quatech long name", &tooLong) +
              DriverKey("02", "Something else", &tooLong));
    bool opened = false;
    EXPECT_EQ(Run(&opened), "COM1:");  // whether this machine has a ttyS0 does not matter
    platform::TakeRecordedMessages();
}

TEST_F(Discovery, MissingPortIsReportedOnce) {
    std::string missing = "/dev/vantra-no-such-port";
    Hive hive(DriverKey("01", "Quatech", &missing));
    bool opened = true;
    EXPECT_EQ(Run(&opened), missing);
    EXPECT_FALSE(opened);
    EXPECT_EQ(g_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::TakeRecordedMessages(),
              std::vector<std::u16string>{u"Cannot Open Connection To Board."});
}

TEST_F(Discovery, RefusedLineSettingsCloseThePort) {
    std::string notATerminal = testutil::TempPath("plainfile");
    std::ofstream(notATerminal) << "x";
    Hive hive(DriverKey("01", "Quatech", &notATerminal));
    bool opened = true;
    Run(&opened);
    EXPECT_FALSE(opened);
    EXPECT_EQ(g_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::TakeRecordedMessages(),
              std::vector<std::u16string>{u"Could not SetCommState"});
    // The lock went with the handle.
    std::u16string wide(notATerminal.begin(), notATerminal.end());
    HANDLE again = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    std::remove(notATerminal.c_str());
}

TEST_F(Discovery, PortIsConfiguredForThePollingWorker) {
    PtyPair pty;
    Hive hive(DriverKey("01", "Quatech", &pty.path));
    bool opened = false;
    Run(&opened);
    ASSERT_TRUE(opened);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(g_hPort.load(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.Flags & 0x3FFC, 0x1000u);  // flow control off, DTR off, RTS on
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(g_hPort.load(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                  t.WriteTotalTimeoutMultiplier + t.WriteTotalTimeoutConstant,
              0u);
}

// Which port start-up tries, and the line it writes on standard error to say so.
TEST_F(Discovery, StartUpSaysWhichPortItTriedAndWhy) {
    PtyPair pty, other;
    const std::string missing = "/dev/vantra-no-such-port";
    const std::string unrelated = "/dev/vantra-unrelated";
    struct Case {
        const char* what;
        const std::string* named;  // by --port
        std::string hive;
        PortSource source;
        std::string port;
        bool opened;
        std::vector<std::string> said;  // pieces of standard error, in order
    } cases[] = {
        {"an adapter in the list",
         nullptr,
         DriverKey("01", "Quatech SSP-100", &pty.path),
         PortSource::Adapter,
         pty.path,
         true,
         {"trying port " + pty.path, "adapter \"Quatech SSP-100\""}},
        {"a named port goes ahead of a matching adapter",
         &other.path,
         DriverKey("01", "Quatech SSP-100", &pty.path),
         PortSource::Named,
         other.path,
         true,
         {"trying port " + other.path, "named by --port"}},
        {"a named port that will not open is not passed over",
         &missing,
         DriverKey("01", "Quatech SSP-100", &pty.path),
         PortSource::Named,
         missing,
         false,
         {"named by --port", "cannot open " + missing + ": "}},
        {"nothing matched",
         nullptr,
         DriverKey("01", "Generic", &unrelated),
         PortSource::Fallback,
         "COM1:",
         false,
         {"trying port COM1: (/dev/ttyS0), the fallback"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Hive hive(c.hive);
        ASSERT_TRUE(SetNamedPort(c.named ? c.named->c_str() : nullptr, "--port"));
        ::testing::internal::CaptureStderr();
        bool opened = false;
        const std::string port = Run(&opened);
        const std::string said = ::testing::internal::GetCapturedStderr();
        SetNamedPort(nullptr, nullptr);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(g_portSource, c.source);
        if (c.source != PortSource::Fallback) {  // whether this machine has a ttyS0 varies
            EXPECT_EQ(opened, c.opened);
        }
        std::size_t at = 0;
        for (const std::string& piece : c.said) {
            at = said.find(piece, at);
            EXPECT_NE(at, std::string::npos) << "\"" << piece << "\" in: " << said;
        }
        TearDown();
        platform::TakeRecordedMessages();
    }
}

TEST_F(Discovery, NamedPortMustFitThePortName) {
    EXPECT_FALSE(SetNamedPort("", "--port"));
    EXPECT_FALSE(SetNamedPort(std::string(kPortNameBytes, 'x').c_str(), "--port"));
    EXPECT_TRUE(SetNamedPort(std::string(kPortNameBytes - 1, 'x').c_str(), "--port"));
    SetNamedPort(nullptr, nullptr);
}

TEST_F(Discovery, UnreadableRegistryFileIsSaidOnce) {
    const std::string missing = testutil::TempPath("no-such-hive") + ".reg";
    ::setenv("VANTRA_REGISTRY", missing.c_str(), 1);
    ::testing::internal::CaptureStderr();
    bool opened = false;
    Run(&opened);
    Run(&opened);
    const std::string said = ::testing::internal::GetCapturedStderr();
    ::unsetenv("VANTRA_REGISTRY");
    platform::TakeRecordedMessages();
    const std::string line = "cannot read the VANTRA_REGISTRY file " + missing;
    const std::size_t first = said.find(line);
    EXPECT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find(line, first + 1), std::string::npos) << "said once: " << said;
}

// Made-up machines: the port discovery settles on and the reason it gives, nothing opened.
TEST(DiscoveryTree, OneUsbSerialBridgeIsChosenWhenNothingElseMatches) {
    using testutil::UsbSerial;
    const UsbSerial ftdi{"ttyUSB0",         "ftdi_sio", "0403", "6001", "FTDI",
                         "FT232R USB UART", "A10K1234", "1-2",  16,     "188:0"};
    const UsbSerial ch340{"ttyUSB1",    "ch341", "1a86", "7523", "",
                          "USB Serial", "",      "1-3",  -1,     "188:1"};
    const UsbSerial acm{"ttyACM0", "cdc_acm", "2341", "0043", "Arduino",
                        "Uno",     "7543",    "1-4",  -1,     "166:0"};
    const UsbSerial quatech{"ttyUSB2", "quatech2", "061d", "c020", "Quatech",
                            "SSU-100", "Q1",       "1-5",  -1,     "188:2"};
    UsbSerial hostile = ch340;
    hostile.productName = "USB\r\x1b[2KSerial\xE9";
    const std::string fallback =
        "the fallback: no Quatech or CF-Serial_I-O adapter found and no port named (--port, "
        "VANTRA_PORT)";
    struct Case {
        const char* what;
        std::vector<UsbSerial> devices;
        PortSource source;
        std::string port;
        std::string reason;  // the whole reason, or its start when it ends in "..."
    } cases[] = {
        {"one FTDI bridge",
         {ftdi},
         PortSource::Bridge,
         "/dev/ttyUSB0",
         "the one USB-serial bridge (ftdi_sio, USB 0403:6001, FTDI FT232R USB UART): no Quatech "
         "or CF-Serial_I-O adapter found and no port named (--port, VANTRA_PORT)"},
        {"two bridges: none is guessed at",
         {ftdi, ch340},
         PortSource::Fallback,
         "COM1:",
         fallback + "; 2 USB-serial bridges are plugged in (/dev/ttyUSB0, /dev/ttyUSB1), so none "
                    "is chosen: name the board's with --port"},
        {"a CDC-ACM board is not a bridge", {acm}, PortSource::Fallback, "COM1:", fallback},
        {"a bridge beside a CDC-ACM board",
         {acm, ch340},
         PortSource::Bridge,
         "/dev/ttyUSB1",
         "the one USB-serial bridge (ch341, USB 1a86:7523, USB Serial): ..."},
        {"a supported adapter goes ahead of a bridge",
         {ftdi, quatech},
         PortSource::Adapter,
         "/dev/ttyUSB2",
         "adapter \"Quatech-SSU-100\" in the driver list"},
        {"a product string is shown, not obeyed",
         {hostile},
         PortSource::Bridge,
         "/dev/ttyUSB1",
         "the one USB-serial bridge (ch341, USB 1a86:7523, USB\\x0D\\x1B[2KSerial\\xE9): ..."},
    };
    ::unsetenv("VANTRA_REGISTRY");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::SysTree tree;
        for (const UsbSerial& d : c.devices) tree.Add(d);
        platform::SetSystemRoot(tree.root.c_str());
        const PortChoice choice = ChoosePort(true);
        platform::SetSystemRoot(nullptr);
        EXPECT_EQ(std::string(choice.name), c.port);
        EXPECT_EQ(choice.source, c.source);
        const std::size_t dots = c.reason.find("...");
        EXPECT_EQ(choice.reason.substr(0, dots), c.reason.substr(0, dots));
    }
}

// The window and vantra-flash open the one bridge found, say why, and say what its latency
// timer costs: a pty stands behind the made-up FTDI cable.
TEST(DiscoveryTree, StartUpOpensTheOneBridgeAndWarnsOfItsLatencyTimer) {
    PtyPair pty;
    testutil::SysTree tree;
    tree.Add({testutil::SysfsName(pty.path), "ftdi_sio", "0403", "6001", "FTDI", "FT232R USB UART",
              "A10K1234", "1-2", 16, ""});
    ::unsetenv("VANTRA_REGISTRY");
    platform::SetSystemRoot(tree.root.c_str());
    ::testing::internal::CaptureStderr();
    const bool opened = OpenPort().opened();
    const std::string said = ::testing::internal::GetCapturedStderr();
    platform::SetSystemRoot(nullptr);
    EXPECT_TRUE(opened);
    EXPECT_EQ(std::string(g_szPortName), pty.path);
    EXPECT_EQ(g_portSource, PortSource::Bridge);
    EXPECT_NE(said.find("trying port " + pty.path +
                        ", the one USB-serial bridge (ftdi_sio, USB "
                        "0403:6001, FTDI FT232R USB UART): no Quatech"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(pty.path +
                        ": the adapter's latency timer is 16 ms, which adds about "
                        "8.6 s to an upgrade (536 acknowledgements, each held back "
                        "up to 16 ms). Set it to 1 ms: echo 1 | sudo tee '/sys/class/"
                        "tty/" +
                        testutil::SysfsName(pty.path) + "/device/latency_timer'"),
              std::string::npos)
        << said;
    HANDLE port = g_hPort.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

TEST(Transport, QueuedFrameWaitsInTheSlotUntilTaken) {
    std::string missing = "/dev/vantra-no-such-port";
    Hive named(DriverKey("01", "Quatech", &missing));
    CLinkSession link;
    link.Open();
    platform::TakeRecordedMessages();
    const BYTE first[] = {0xAA, 0xAA, 0xAA};
    const BYTE frame[] = {0x11, 0x12, 0x01, 0x00, 0x11, 0x13};
    EXPECT_TRUE(CSerialTransport::QueueFrame(first, sizeof first));
    EXPECT_TRUE(CSerialTransport::QueueFrame(frame, sizeof frame));  // replaces the first
    EXPECT_EQ(WaitForSingleObject(g_hTransmitPending.load(), 0), WAIT_OBJECT_0);
    BYTE out[kTransmitSlotBytes];
    ASSERT_EQ(CSerialTransport::TakeFrame(out, sizeof out), 6u);
    EXPECT_EQ(std::vector<BYTE>(out, out + 6), std::vector<BYTE>(frame, frame + 6));
    EXPECT_EQ(WaitForSingleObject(g_hTransmitPending.load(), 0), WAIT_TIMEOUT);

    std::vector<BYTE> tooBig(kTransmitSlotBytes + 1, 0x55);
    EXPECT_FALSE(CSerialTransport::QueueFrame(tooBig.data(), static_cast<unsigned>(tooBig.size())));
    EXPECT_EQ(WaitForSingleObject(g_hTransmitPending.load(), 0), WAIT_TIMEOUT);
    link.ClosePortAtOnce();
}

TEST(Transport, DestructionClosesAnOpenPort) {
    PtyPair pty;
    Hive hive(DriverKey("01", "Quatech", &pty.path));
    CLinkSession link;
    link.Open();
    HANDLE port = g_hPort.load();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    link.ClosePortAtOnce();
    EXPECT_EQ(g_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(port));  // already closed
    std::u16string wide(pty.path.begin(), pty.path.end());
    HANDLE again = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

}  // namespace
