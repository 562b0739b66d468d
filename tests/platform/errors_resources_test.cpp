#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/message_box.h"
#include "platform/resources.h"
#include "platform/sound.h"
#include "platform/wincore.h"

namespace {

std::u16string SystemText(DWORD code) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text),
        0, nullptr);
    std::u16string out = n ? std::u16string(text, n) : u"";
    LocalFree(text);
    return out;
}

TEST(Errors, EveryCodeTheLayerSetsHasAnEnglishText) {
    for (DWORD code :
         {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_MORE_DATA,
          ERROR_NO_MORE_ITEMS, ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND,
          ERROR_NOT_SUPPORTED, ERROR_SHARING_VIOLATION}) {
        EXPECT_FALSE(SystemText(code).empty()) << code;
    }
    EXPECT_EQ(SystemText(ERROR_RESOURCE_NAME_NOT_FOUND),
              u"The specified resource name cannot be found in the image file.");
    EXPECT_TRUE(SystemText(987654).empty());
}

TEST(Errors, CallerBufferTooSmallIsRefusedNotOverrun) {
    WCHAR small[8];
    for (WCHAR& c : small) c = u'#';
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small, 4,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small[4], u'#');
}

const BYTE kBlob[] = {1, 2, 3, 4, 5};
const BYTE kOther[] = {9};
const platform::ResourceEntry kEntries[] = {
    {0, u"FIRMWARE", 144, kBlob, sizeof kBlob},
    {RT_RCDATA, nullptr, 144, kOther, sizeof kOther},
};
const platform::StringEntry kStrings[] = {{104, u"Windows sockets initialization failed."},
                                          {65001, u"File"}};
const platform::ResourceSet kSet = {kEntries, 2, kStrings, 2};

class Resources : public ::testing::Test {
protected:
    void SetUp() override { previous_ = platform::SetProgramResources(&kSet); }
    void TearDown() override { platform::SetProgramResources(previous_); }
    const platform::ResourceSet* previous_ = nullptr;
};

TEST_F(Resources, FindsByIdAndTypeNameOrNumber) {
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(144), u"FIRMWARE");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, r), 5u);
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, r)));
    EXPECT_EQ(bytes, kBlob);  // read in place

    HRSRC rc = FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(144),
                             MAKEINTRESOURCEW(RT_RCDATA));
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, rc), 1u);
}

TEST_F(Resources, MissingNameAndTypeGiveDistinctErrors) {
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(141), u"FIRMWARE"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(144), u"FIRMWAR"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(144), u"firmware"), nullptr);
}

TEST_F(Resources, LoadStringCopiesWithinCapacity) {
    WCHAR buf[256];
    EXPECT_EQ(LoadStringW(nullptr, 65001, buf, 255), 4);
    EXPECT_EQ(std::u16string(buf), u"File");

    WCHAR tiny[6];
    tiny[5] = u'#';
    EXPECT_EQ(LoadStringW(nullptr, 104, tiny, 5), 4);  // cut to capacity - 1, terminated
    EXPECT_EQ(std::u16string(tiny), u"Wind");
    EXPECT_EQ(tiny[5], u'#');

    buf[0] = u'x';
    EXPECT_EQ(LoadStringW(nullptr, 65003, buf, 255), 0);
    EXPECT_EQ(buf[0], 0);  // a missing string reads as empty
}

TEST(Sound, BeepIsCountedAndNeverBlocksOtherThreads) {
    const unsigned long before = platform::BeepCount(MB_ICONEXCLAMATION);
    std::thread t([] {
        for (int i = 0; i < 10; ++i) MessageBeep(MB_ICONEXCLAMATION);
    });
    t.join();
    MessageBeep(MB_ICONINFORMATION);
    EXPECT_EQ(platform::BeepCount(MB_ICONEXCLAMATION), before + 10);
}

std::atomic<int> presented{0};
int Present(const WCHAR*, UINT type) {
    presented = static_cast<int>(type) + 1;
    return IDOK;
}

TEST(UserMessages, RecordedWithoutPresenterAndRoutedWithOne) {
    platform::TakeRecordedMessages();
    platform::ShowUserMessage(u"Cannot Open Connection To Board.", MB_OK);
    auto texts = platform::TakeRecordedMessages();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], u"Cannot Open Connection To Board.");

    platform::SetMessagePresenter(Present);
    EXPECT_EQ(platform::ShowUserMessage(u"x", MB_ICONINFORMATION), IDOK);
    platform::SetMessagePresenter(nullptr);
    EXPECT_EQ(presented.load(), static_cast<int>(MB_ICONINFORMATION) + 1);
    EXPECT_TRUE(platform::TakeRecordedMessages().empty());
}

}  // namespace
