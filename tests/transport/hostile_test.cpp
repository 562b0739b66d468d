// Inputs meant to hurt: hives the discovery scan must survive, and a board that floods the
// line. Each ends in the stated behaviour; the sanitizer builds check the memory on the way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "link/device_link.h"
#include "platform/message_box.h"
#include "platform/winreg.h"
#include "tests/support/pty_helpers.h"
#include "transport/link_session.h"
#include "transport/link_worker.h"
#include "transport/port_discovery.h"
#include "transport/serial_transport.h"

namespace {

using testutil::DriverKey;

struct HiveCase {
    const char* name;
    std::string (*bytes)(const std::string& port);  // the whole hive file
    bool found;                                     // the port named, or "COM1:"
};

std::string Header() {
    return "Windows Registry Editor Version 5.00\r\n\r\n";
}

std::string Utf16(const std::string& text) {
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

const HiveCase kHives[] = {
    {"more keys than the scan reads (1024), the card last",
     [](const std::string& port) {
         std::string s = Header();
         for (int i = 0; i < 1100; ++i) {
             std::string key = "k";  // appended, not "k" + ...: GCC 12's -Wrestrict misfires there
             key += std::to_string(i);
             s += DriverKey(key, "Other", &port);
         }
         return s + DriverKey("z", "Quatech", &port);
     },
     false},
    {"UTF-16 with half a character at the end",
     [](const std::string& port) {
         return Utf16(Header() + DriverKey("01", "Quatech", &port)) + "\x41";
     },
     true},
    {"UTF-16 ending inside the Name value",
     [](const std::string& port) {
         const std::string text = Header() + DriverKey("01", "Quatech", &port);
         return Utf16(text.substr(0, text.size() - 7));  // mid-path, no quote
     },
     false},
    {"Name without its closing quote or line end",
     [](const std::string& port) {
         return Header() +
                "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01]\r\n\"PnpId\"=\"Quatech\"\r\n" +
                "\"Name\"=\"" + port;
     },
     false},
    {"Name of 300 characters, then the card again",
     [](const std::string& port) {
         const std::string tooLong = "/dev/" + std::string(300, 'n');
         return Header() + DriverKey("01", "Quatech", &tooLong) + DriverKey("02", "Quatech", &port);
     },
     true},
    {"PnpId of odd length, 255 characters, just within the 511 bytes",
     [](const std::string& port) {
         return Header() + DriverKey("01", "Quatech" + std::string(247, 'q'), &port);
     },
     true},
    {"PnpId of 256 characters, one past the 511 bytes",
     [](const std::string& port) {
         return Header() + DriverKey("01", "Quatech" + std::string(248, 'q'), &port);
     },
     false},
};

TEST(HostileHive, DiscoveryEndsWithTheStatedPort) {
    for (const HiveCase& c : kHives) {
        SCOPED_TRACE(c.name);
        testutil::PtyPair pty;
        testutil::Hive hive("");
        std::ofstream(hive.file, std::ios::binary) << c.bytes(pty.path);
        OpenPort();
        EXPECT_EQ(std::string(g_szPortName), c.found ? pty.path : "COM1:");
        HANDLE port = g_hPort.exchange(INVALID_HANDLE_VALUE);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        platform::TakeRecordedMessages();  // this machine may have no ttyS0
    }
}

// A board that writes faster than the worker reads: noise that never completes a frame (no
// 0x13), stray leads and headers, and runs longer than the decoder's buffer. The worker keeps
// up without overrunning anything, a queued frame still goes out, the reply after the flood is
// understood, and the worker stops when asked.
TEST(HostileBoard, FloodingTheLineLosesNothingThatFollows) {
    testutil::PtyPair pty;
    testutil::Hive hive(DriverKey("01", "Quatech", &pty.path));
    CLinkSession link;
    ASSERT_TRUE(link.Open().opened());
    const char version[] = "V9.99";
    {
        // A known version to start from, whatever earlier tests left.
        const BYTE reset[] = {'0', '.', '0', '0', 0, 0x01 ^ '0' ^ '.' ^ '0' ^ '0'};
        g_DeviceLink.OnFrame(0x01, reset, sizeof reset);
    }
    BYTE scratch[kTransmitSlotBytes];
    CSerialTransport::TakeFrame(scratch, sizeof scratch);
    ASSERT_TRUE(link.StartWorker());

    std::atomic<std::size_t> flooded{0};
    std::thread flood([&] {
        std::vector<std::uint8_t> chunk(64 * 1024);
        std::uint32_t x = 0x9E3779B9u;
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            chunk[i] = static_cast<std::uint8_t>(x) == 0x13 ? 0x12 : static_cast<std::uint8_t>(x);
        }
        chunk[0] = 0x11;
        chunk[1] = 0x12;  // one header whose payload runs on far past 8192 bytes
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            pty.WriteMaster(chunk);
            flooded += chunk.size();
        }
    });
    g_DeviceLink.SendCommand(kCmdVersion, nullptr, 0);
    flood.join();

    // The query goes out once the worker has caught up (receiving comes first)...
    EXPECT_EQ(pty.ReadMaster(6, 2000),
              (std::vector<std::uint8_t>{0x11, 0x12, 0x01, 0x00, 0x11, 0x13}))
        << flooded.load() << " bytes of flood";
    // ...and the board answers it, after a trailer that ends whatever the flood left open.
    std::vector<std::uint8_t> reply = {0x11, 0x13, 0x11, 0x12, 0x01};
    BYTE check = 0x01;
    for (char c : version) {
        reply.push_back(static_cast<std::uint8_t>(c));
        check ^= static_cast<BYTE>(c);
    }
    reply.insert(reply.end(), {check, 0x11, 0x13});
    pty.WriteMaster(reply);
    EXPECT_EQ(pty.ReadMaster(6, 2000),
              (std::vector<std::uint8_t>{0x11, 0x12, 0x02, 0x00, 0x11, 0x13}));
    char seen[32] = "";
    g_DeviceLink.GetVersion(seen, sizeof seen);
    EXPECT_STREQ(seen, version);
    EXPECT_TRUE(link.Close(2000));
}

}  // namespace
