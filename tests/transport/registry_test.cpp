#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/host_facts.h"
#include "platform/winreg.h"
#include "tests/support/pty_helpers.h"

namespace {

using testutil::Hive;

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

struct Key {
    explicit Key(const char16_t* path) {
        rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    }
    ~Key() {
        if (key) RegCloseKey(key);
    }
    HKEY key = nullptr;
    LONG rc;
};

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    WCHAR name[512];
    for (DWORD i = 0;; ++i) {
        DWORD chars = 512;
        LONG rc = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
        EXPECT_EQ(rc, 0);
        names.emplace_back(name, chars);
    }
    return names;
}

// The value as the port discovery reads it: capacity 511 bytes.
LONG Query(HKEY parent, const char16_t* sub, const char16_t* value, std::u16string* out,
           DWORD* bytes) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(parent, sub, 0, KEY_READ, &key);
    if (rc != 0) return rc;
    WCHAR buf[512] = {};
    *bytes = 511;
    DWORD type = 0;
    rc = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(buf), bytes);
    if (rc == 0) *out = buf;
    RegCloseKey(key);
    return rc;
}

TEST(Registry, HiveKeysComeInFileOrderWithTheirValues) {
    std::string name = "COM3:";
    Hive hive(testutil::DriverKey("07", "Quatech-SSP", &name) +
              testutil::DriverKey("02", "Other \\\"quoted\\\" \\\\ text", nullptr) +
              "[HKEY_LOCAL_MACHINE\\Drivers\\Builtin\\Serial]\r\n\"Dll\"=\"serial.dll\"\r\n");
    Key active(u"Drivers\\Active");
    ASSERT_EQ(active.rc, 0);
    EXPECT_EQ(SubkeyNames(active.key), (std::vector<std::u16string>{u"07", u"02"}));
    std::u16string value;
    DWORD bytes = 0;
    ASSERT_EQ(Query(active.key, u"07", u"Name", &value, &bytes), 0);
    EXPECT_EQ(value, u"COM3:");
    EXPECT_EQ(bytes, 12u);  // bytes, terminator included
    ASSERT_EQ(Query(active.key, u"02", u"PnpId", &value, &bytes), 0);
    EXPECT_EQ(value, u"Other \"quoted\" \\ text");
    EXPECT_EQ(Query(active.key, u"02", u"Name", &value, &bytes),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Key(u"drivers\\builtin\\SERIAL").rc, 0);  // names ignore case
    EXPECT_EQ(Key(u"Drivers\\Missing").rc, static_cast<LONG>(ERROR_FILE_NOT_FOUND));

    HKEY written = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0xF003F, &written),
              static_cast<LONG>(ERROR_ACCESS_DENIED));
}

TEST(Registry, CapacityOf511BytesIsEnforced) {
    std::string fits(254, 'a');    // 510 bytes with the terminator
    std::string longer(255, 'b');  // 512 bytes
    Hive hive(testutil::DriverKey("01", fits, &longer));
    Key key(u"Drivers\\Active");
    std::u16string value;
    DWORD bytes = 0;
    ASSERT_EQ(Query(key.key, u"01", u"PnpId", &value, &bytes), 0);
    EXPECT_EQ(value, Wide(fits));
    EXPECT_EQ(Query(key.key, u"01", u"Name", &value, &bytes), static_cast<LONG>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 512u);

    WCHAR name[4];
    DWORD chars = 2;  // "01" needs 3 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key.key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_MORE_DATA));
}

TEST(Registry, OddHivesNeverBreakTheReader) {
    std::string huge(200000, 'x');
    Hive hive(
        "garbage line\r\n\"Orphan\"=\"value\"\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\01\r\n\"PnpId\"=\"lost\"\r\n"
        "[HKEY_CURRENT_USER\\Drivers\\Active\\09]\r\n\"PnpId\"=\"other root\"\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\02]\r\n"
        "\"PnpId\"=dword:00000001\r\n\"Name\"=\"unterminated\r\n\"Half\r\n"
        "\"Big\"=\"" +
        huge + "\"\r\n\"Name\"=\"COM2:\"\r\n");
    Key key(u"Drivers\\Active");
    ASSERT_EQ(key.rc, 0);
    EXPECT_EQ(SubkeyNames(key.key), std::vector<std::u16string>{u"02"});
    std::u16string value;
    DWORD bytes = 0;
    EXPECT_EQ(Query(key.key, u"02", u"Name", &value, &bytes), 0);
    EXPECT_EQ(value, u"COM2:");
    EXPECT_EQ(Query(key.key, u"02", u"PnpId", &value, &bytes),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Query(key.key, u"02", u"Big", &value, &bytes), static_cast<LONG>(ERROR_MORE_DATA));
}

TEST(Registry, ReadsUtf16HivesAsTheEditorWritesThem) {
    std::string path = testutil::TempPath("utf16");
    std::u16string text =
        u"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\Drivers\\Active\\05]\r\n\"PnpId\"=\"CF-Serial_I-O \x00E9\"\r\n";
    {
        std::ofstream out(path, std::ios::binary);
        for (char16_t c : text) out.put(static_cast<char>(c & 0xFF)).put(static_cast<char>(c >> 8));
    }
    Hive hive("");
    ::setenv("VANTRA_REGISTRY", path.c_str(), 1);
    Key key(u"Drivers\\Active");
    std::u16string value;
    DWORD bytes = 0;
    ASSERT_EQ(Query(key.key, u"05", u"PnpId", &value, &bytes), 0);
    EXPECT_EQ(value, u"CF-Serial_I-O \x00E9");
    std::remove(path.c_str());
}

TEST(Registry, SerialAdaptersInSysfsFollowTheHive) {
    namespace fs = std::filesystem;
    fs::path top = testutil::TempPath("sysroot");
    fs::path root = top / "sys";
    fs::path usb = root / "devices/pci0/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0");
    std::ofstream(usb / "manufacturer") << "Quatech\n";
    std::ofstream(usb / "product") << "SSU-100\n";
    fs::path platformDev = root / "devices/platform/serial8250";
    fs::create_directories(platformDev);
    fs::create_directories(root / "class/tty/ttyUSB0");
    fs::create_directories(root / "class/tty/ttyS0");
    fs::create_directories(root / "class/tty/tty1");
    fs::create_directory_symlink(usb / "1-1:1.0", root / "class/tty/ttyUSB0/device");
    fs::create_directory_symlink(platformDev, root / "class/tty/ttyS0/device");

    std::string name = "COM3:";
    Hive hive(testutil::DriverKey("01", "Vendor", &name));
    platform::SetSystemRoot(top.c_str());
    Key key(u"Drivers\\Active");
    ASSERT_EQ(SubkeyNames(key.key), (std::vector<std::u16string>{u"01", u"02"}));
    std::u16string value;
    DWORD bytes = 0;
    ASSERT_EQ(Query(key.key, u"02", u"PnpId", &value, &bytes), 0);
    EXPECT_EQ(value, u"Quatech-SSU-100");
    ASSERT_EQ(Query(key.key, u"02", u"Name", &value, &bytes), 0);
    EXPECT_EQ(value, u"/dev/ttyUSB0");
    fs::remove_all(top);
}

}  // namespace
