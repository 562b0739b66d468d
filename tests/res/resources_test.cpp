#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "platform/resource_formats.h"
#include "platform/wincore.h"
#include "platform/winstyles.h"
#include "ui/res/resource.h"
#include "ui/res/vantra_resources.h"

namespace {

class ProgramResources : public ::testing::Test {
protected:
    void SetUp() override { previous_ = platform::SetProgramResources(&VantraResources()); }
    void TearDown() override { platform::SetProgramResources(previous_); }

    template <typename T>
    static const T& Load(WORD type, WORD id) {
        HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        EXPECT_NE(r, nullptr) << "type " << type << " id " << id;
        return *static_cast<const T*>(LockResource(LoadResource(nullptr, r)));
    }

    static std::vector<unsigned char> Firmware(WORD id) {
        HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(id), u"FIRMWARE");
        if (r == nullptr) return {};
        const auto* p = static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, r)));
        return {p, p + SizeofResource(nullptr, r)};
    }

    static std::u16string String(UINT id) {
        WCHAR buffer[256];
        const int n = LoadStringW(nullptr, id, buffer, 256);
        return std::u16string(buffer, n);
    }

private:
    const platform::ResourceSet* previous_ = nullptr;
};

DWORD U32(const std::vector<unsigned char>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<DWORD>(b[at + 3]) << 24);
}

TEST_F(ProgramResources, EveryResourceOfTheTableIsFoundByTypeAndId) {
    struct Wanted {
        WORD type;
        WORD id;
    };
    const Wanted numbered[] = {
        {RT_GROUP_ICON, 128}, {RT_BITMAP, 128}, {RT_TOOLBAR, 128}, {RT_ACCELERATOR, 128},
        {RT_DIALOG, 100},     {RT_DIALOG, 101}, {RT_VERSION, 1},
    };
    for (const Wanted& w : numbered) {
        HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(w.id), MAKEINTRESOURCEW(w.type));
        ASSERT_NE(r, nullptr) << "type " << w.type << " id " << w.id;
        EXPECT_NE(LockResource(LoadResource(nullptr, r)), nullptr);
        EXPECT_GT(SizeofResource(nullptr, r), 0u);
    }
    for (WORD id : {141, 143, 144}) EXPECT_FALSE(Firmware(id).empty()) << id;
}

TEST_F(ProgramResources, MissingResourcesAreNullWithTheLookupError) {
    SetLastError(0);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(142), u"FIRMWARE"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(144), MAKEINTRESOURCEW(RT_RCDATA)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    // A numbered type never matches a named one with the same id.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(128), u"FIRMWARE"), nullptr);
}

TEST_F(ProgramResources, FirmwareImagesHaveTheImageLayout) {
    const std::pair<WORD, std::size_t> sizes[] = {{141, 68188}, {143, 68500}, {144, 68500}};
    for (auto [id, size] : sizes) {
        const auto image = Firmware(id);
        ASSERT_EQ(image.size(), size) << id;
        EXPECT_EQ(U32(image, 4) + 8, image.size()) << id;
    }
    const auto image = Firmware(144);
    EXPECT_EQ(U32(image, 0), 0u);
    EXPECT_EQ(U32(image, 4), 68492u);
    // The frame's lead byte must occur in the payload so that every transfer is stuffed.
    EXPECT_GT(std::count(image.begin() + 8, image.end(), 0x11), 100);
}

TEST_F(ProgramResources, EmbeddedImage144IsTheBuildTreeFile) {
    std::ifstream f(VANTRA_FIRMWARE_144_BIN, std::ios::binary);
    ASSERT_TRUE(f) << VANTRA_FIRMWARE_144_BIN;
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(f)),
                                          std::istreambuf_iterator<char>());
    EXPECT_TRUE(file == Firmware(144));
}

TEST_F(ProgramResources, SystemStrings) {
    EXPECT_EQ(String(102), u"Edit");
    EXPECT_EQ(String(103), u"Tools");
    EXPECT_EQ(String(104), u"Windows sockets initialization failed.");
    EXPECT_EQ(String(128), u"Vantra\n\nVantra\n\n\nVantra.Document\nVantra Document");
    const char16_t* const bar[] = {u"New", u"File", u"Help",  u"Save",
                                   u"Cut", u"Copy", u"Paste", u"About"};
    for (UINT i = 0; i < std::size(bar); ++i) EXPECT_EQ(String(65000 + i), bar[i]) << 65000 + i;
}

TEST_F(ProgramResources, FrameworkStringsAreTheListedOnesOnly) {
    EXPECT_EQ(String(57345), u"Ready");
    EXPECT_EQ(String(57664), u"Display program information, version number and copyright\nAbout");
    EXPECT_EQ(String(59137), u"CAP");
    EXPECT_EQ(String(61203), u"Activate Task List");
    // Command prompts are "description\nshort name".
    for (UINT id : {57604u, 57632u, 57633u, 57634u, 57635u, 57636u, 57637u, 57640u, 57641u, 57642u,
                    57643u, 57644u, 57653u, 57665u, 57680u, 57681u}) {
        const std::u16string s = String(id);
        const auto lf = s.find(u'\n');
        ASSERT_NE(lf, std::u16string::npos) << id;
        EXPECT_GT(lf, 0u) << id;
        EXPECT_LT(lf + 1, s.size()) << id;
    }
    EXPECT_FALSE(String(61190).empty());
    // No application title (the framework's default applies) and no new/open/save prompts.
    for (UINT id : {0xE000u, 0xE100u, 0xE101u, 0xE103u}) {
        SetLastError(0);
        EXPECT_EQ(String(id), u"") << id;
        EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    EXPECT_EQ(VantraResources().stringCount, 12u + 21u);
}

TEST_F(ProgramResources, LoadStringCutsAtTheCapacity) {
    WCHAR buffer[5];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(LoadStringW(nullptr, 104, buffer, 5), 4);
    EXPECT_EQ(std::u16string(buffer), u"Wind");
}

TEST_F(ProgramResources, UpgradeForm) {
    const auto& d = Load<platform::DialogTemplate>(RT_DIALOG, IDD_VANTRA_FORM);
    EXPECT_EQ(d.style, 0x40000040u);
    EXPECT_EQ(d.exStyle, 0u);
    EXPECT_EQ(std::tie(d.x, d.y, d.cx, d.cy), std::make_tuple(0, 0, 131, 150));
    EXPECT_EQ(d.caption, nullptr);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(std::u16string(d.faceName), u"System");
    ASSERT_EQ(d.itemCount, 2u);

    const auto& load = d.items[0];
    EXPECT_EQ(load.id, 1000);
    EXPECT_EQ(load.classAtom, 0x0080);
    EXPECT_EQ(std::u16string(load.text), u"LOAD");
    EXPECT_EQ(std::tie(load.x, load.y, load.cx, load.cy), std::make_tuple(7, 112, 117, 14));
    EXPECT_EQ(load.style, 0x50010000u);
    EXPECT_EQ(load.exStyle, WS_EX_CLIENTEDGE);

    const auto& bar = d.items[1];
    EXPECT_EQ(bar.id, 1001);
    EXPECT_EQ(bar.classAtom, 0);
    EXPECT_EQ(std::u16string(bar.className), u"msctls_progress32");
    EXPECT_EQ(std::u16string(bar.text), u"Progress1");
    EXPECT_EQ(std::tie(bar.x, bar.y, bar.cx, bar.cy), std::make_tuple(7, 128, 117, 15));
    EXPECT_EQ(bar.style, 0x50800001u);
    EXPECT_EQ(bar.exStyle, 0x200u);
}

TEST_F(ProgramResources, AboutBox) {
    const auto& d = Load<platform::DialogTemplate>(RT_DIALOG, IDD_ABOUTBOX);
    EXPECT_EQ(d.style, 0x80C00040u);
    EXPECT_EQ(d.exStyle, 0x80000000u);
    EXPECT_EQ(std::tie(d.x, d.y, d.cx, d.cy), std::make_tuple(0, 0, 140, 57));
    EXPECT_EQ(std::u16string(d.caption), u"About Tovrin Vantra");
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(std::u16string(d.faceName), u"System");
    ASSERT_EQ(d.itemCount, 2u);

    const auto& icon = d.items[0];
    EXPECT_EQ(icon.id, -1);
    EXPECT_EQ(icon.classAtom, 0x0082);
    EXPECT_EQ(icon.style, 0x50000003u);
    EXPECT_EQ(icon.textResourceId, 128);
    EXPECT_EQ(std::tie(icon.x, icon.y, icon.cx, icon.cy), std::make_tuple(7, 7, 20, 20));

    const auto& title = d.items[1];
    EXPECT_EQ(title.id, -1);
    EXPECT_EQ(title.classAtom, 0x0082);
    EXPECT_EQ(title.style, 0x50020080u);
    EXPECT_EQ(std::u16string(title.text), u"Tovrin Firmware Vantra Version 1.0");
    EXPECT_EQ(std::tie(title.x, title.y, title.cx, title.cy), std::make_tuple(40, 10, 65, 27));
}

TEST_F(ProgramResources, AcceleratorsAndToolbar) {
    const auto& t = Load<platform::AcceleratorTable>(RT_ACCELERATOR, IDR_MAINFRAME);
    ASSERT_EQ(t.count, 8u);
    const std::pair<char, WORD> wanted[] = {{'N', 0xE100}, {'O', 0xE101}, {'S', 0xE103},
                                            {'Q', 0xE141}, {'Z', 0xE12B}, {'X', 0xE123},
                                            {'C', 0xE122}, {'V', 0xE125}};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(t.entries[i].flags, platform::FVIRTKEY | platform::FCONTROL) << i;
        EXPECT_EQ(t.entries[i].key, wanted[i].first) << i;
        EXPECT_EQ(t.entries[i].cmd, wanted[i].second) << i;
    }

    const auto& bar = Load<platform::ToolbarTemplate>(RT_TOOLBAR, IDR_MAINFRAME);
    EXPECT_EQ(bar.version, 1);
    EXPECT_EQ(bar.width, 16);
    EXPECT_EQ(bar.height, 16);
    ASSERT_EQ(bar.itemCount, 1u);
    EXPECT_EQ(bar.items[0], 0xE140);
}

TEST_F(ProgramResources, VersionBlock) {
    const auto& v = Load<platform::VersionInfo>(RT_VERSION, 1);
    EXPECT_EQ(std::vector<WORD>(v.fileVersion, v.fileVersion + 4), (std::vector<WORD>{1, 0, 0, 1}));
    EXPECT_EQ(std::vector<WORD>(v.productVersion, v.productVersion + 4),
              (std::vector<WORD>{1, 0, 0, 1}));
    EXPECT_EQ(
        std::tie(v.flagsMask, v.flags, v.os, v.fileType, v.fileSubtype, v.fileDateMs, v.fileDateLs),
        std::make_tuple(0x3Fu, 0u, 4u, 1u, 0u, 0u, 0u));
    EXPECT_EQ(std::u16string(v.stringTableName), u"040904B0");
    EXPECT_EQ(v.translationLanguage, 0x0409);
    EXPECT_EQ(v.translationCodePage, 0x04B0);
    const std::pair<std::u16string, std::u16string> wanted[] = {
        {u"FileDescription", u"Vantra WCE MFC Application"},
        {u"FileVersion", u"1, 0, 0, 1"},
        {u"InternalName", u"Vantra"},
        {u"LegalTrademarks", u""},
        {u"OriginalFilename", u"Vantra.exe"},
        {u"ProductName", u"Vantra Application"},
        {u"ProductVersion", u"1, 0, 0, 1"},
    };
    ASSERT_EQ(v.stringCount, std::size(wanted));
    for (std::size_t i = 0; i < v.stringCount; ++i) {
        EXPECT_EQ(v.strings[i].key, wanted[i].first);
        EXPECT_EQ(v.strings[i].value, wanted[i].second);
    }
}

}  // namespace
