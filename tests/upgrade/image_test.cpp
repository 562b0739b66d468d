// The image layout and how it is cut into blocks.
#include <gtest/gtest.h>

#include <vector>

#include "platform/resources.h"
#include "platform/wincore.h"
#include "upgrade/firmware_transfer.h"

namespace {

std::vector<BYTE> Layout(DWORD start, DWORD length, std::size_t actualBytes) {
    std::vector<BYTE> r(8 + actualBytes);
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<BYTE>(start >> (8 * i));
        r[4 + i] = static_cast<BYTE>(length >> (8 * i));
    }
    for (std::size_t i = 0; i < actualBytes; ++i) r[8 + i] = static_cast<BYTE>(i * 7 + 1);
    return r;
}

class ImageResource : public ::testing::Test {
protected:
    void Use(std::vector<BYTE> bytes) {
        bytes_ = std::move(bytes);
        entry_ = {0, u"FIRMWARE", kFirmwareResourceId, bytes_.data(), bytes_.size()};
        set_ = {&entry_, 1, nullptr, 0};
        previous_ = platform::SetProgramResources(&set_);
    }
    void TearDown() override { platform::SetProgramResources(previous_); }

    std::vector<BYTE> bytes_;
    platform::ResourceEntry entry_{};
    platform::ResourceSet set_{};
    const platform::ResourceSet* previous_ = nullptr;
};

TEST_F(ImageResource, HeaderIsReadLittleEndian) {
    Use(Layout(0x01020304, 300, 300));
    FirmwareImage image;
    ASSERT_TRUE(LoadFirmwareImage(kFirmwareResourceId, &image));
    EXPECT_EQ(image.start, 0x01020304u);
    EXPECT_EQ(image.length, 300u);
    EXPECT_EQ(image.bytes, bytes_.data() + 8);
}

TEST_F(ImageResource, HeaderClaimingMoreThanTheResourceHoldsIsRefused) {
    Use(Layout(0, 1000, 999));
    FirmwareImage image;
    EXPECT_FALSE(LoadFirmwareImage(kFirmwareResourceId, &image));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);

    Use(std::vector<BYTE>{1, 2, 3});  // not even a header
    EXPECT_FALSE(LoadFirmwareImage(kFirmwareResourceId, &image));

    Use(Layout(0, 0xFFFFFFF9u, 0));  // length + 8 would wrap
    EXPECT_FALSE(LoadFirmwareImage(kFirmwareResourceId, &image));

    Use(Layout(0, 0, 0));  // nothing to send must not become "Transfer Complete."
    EXPECT_FALSE(LoadFirmwareImage(kFirmwareResourceId, &image));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

TEST_F(ImageResource, MissingResourceLeavesTheLookupError) {
    Use(Layout(0, 1, 1));
    FirmwareImage image;
    EXPECT_FALSE(LoadFirmwareImage(141, &image));
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST(Blocks, CountRoundsUp) {
    const struct {
        DWORD length;
        DWORD blocks;
    } cases[] = {{0, 0}, {1, 1}, {128, 1}, {129, 2}, {68492, 536}, {0xFFFFFFFFu, 33554432u}};
    for (const auto& c : cases) {
        FirmwareImage image{0, c.length, nullptr};
        EXPECT_EQ(BlockCount(image), c.blocks) << c.length;
    }
}

TEST(Blocks, LastBlockIsFullLengthWithErasedBytesPastTheImage) {
    std::vector<BYTE> bytes(68492);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i);
    FirmwareImage image{0, static_cast<DWORD>(bytes.size()), bytes.data()};
    BYTE block[kBlockBytes];

    CopyBlock(image, 1, block);
    EXPECT_EQ(block[0], static_cast<BYTE>(128));
    EXPECT_EQ(block[127], static_cast<BYTE>(255));

    CopyBlock(image, 535, block);  // 12 image bytes, then erased flash
    for (int i = 0; i < 12; ++i) EXPECT_EQ(block[i], static_cast<BYTE>(535 * 128 + i)) << i;
    for (int i = 12; i < 128; ++i) EXPECT_EQ(block[i], kErasedByte) << i;
}

}  // namespace
