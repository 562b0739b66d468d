// The icon and toolbar image are parsed from the bytes the program carries, the way an image
// reader would, so a malformed file fails here rather than as a blank window icon.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "platform/wincore.h"
#include "ui/res/vantra_resources.h"

namespace {

struct Bytes {
    const std::uint8_t* p = nullptr;
    std::size_t size = 0;
    std::uint32_t U16(std::size_t at) const { return p[at] | (p[at + 1] << 8); }
    std::uint32_t U32(std::size_t at) const { return U16(at) | (U16(at + 2) << 16); }
    std::int32_t I32(std::size_t at) const { return static_cast<std::int32_t>(U32(at)); }
};

Bytes Resource(WORD type) {
    const platform::ResourceSet* previous = platform::SetProgramResources(&VantraResources());
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(128), MAKEINTRESOURCEW(type));
    Bytes b;
    if (r != nullptr) {
        b.p = static_cast<const std::uint8_t*>(LockResource(LoadResource(nullptr, r)));
        b.size = SizeofResource(nullptr, r);
    }
    platform::SetProgramResources(previous);
    return b;
}

std::size_t RowBytes(int width, int bits) {
    return static_cast<std::size_t>((width * bits + 31) / 32 * 4);
}

// A 4-bit device-independent bitmap header at `at` and what follows it: 16 palette entries,
// then `height` rows of pixels (and, for icons, the 1-bit mask). Returns the bytes it covers.
std::size_t CheckDib(const Bytes& b, std::size_t at, int width, int height, bool withMask) {
    EXPECT_EQ(b.U32(at), 40u);  // BITMAPINFOHEADER
    EXPECT_EQ(b.I32(at + 4), width);
    EXPECT_EQ(b.I32(at + 8), withMask ? 2 * height : height);  // icons count the mask in the height
    EXPECT_EQ(b.U16(at + 12), 1u);                             // planes
    EXPECT_EQ(b.U16(at + 14), 4u);                             // bits per pixel
    EXPECT_EQ(b.U32(at + 16), 0u);                             // uncompressed
    const std::uint32_t colours = b.U32(at + 32);
    EXPECT_TRUE(colours == 0 || colours == 16) << colours;
    std::size_t size = 40 + 16 * 4 + RowBytes(width, 4) * height;
    if (withMask) size += RowBytes(width, 1) * height;
    EXPECT_LE(at + size, b.size);
    return size;
}

TEST(ImageFiles, IconGroupIsAnIcoWith32And16PixelImagesAt4Bits) {
    const Bytes b = Resource(RT_GROUP_ICON);
    ASSERT_GE(b.size, 6u + 2 * 16u);
    EXPECT_EQ(b.U16(0), 0u);  // reserved
    EXPECT_EQ(b.U16(2), 1u);  // icon, not cursor
    ASSERT_EQ(b.U16(4), 2u);
    const int sizes[] = {32, 16};
    std::size_t end = 6 + 2 * 16;
    for (int i = 0; i < 2; ++i) {
        const std::size_t e = 6 + 16 * i;
        EXPECT_EQ(b.p[e], sizes[i]);
        EXPECT_EQ(b.p[e + 1], sizes[i]);
        EXPECT_EQ(b.p[e + 2], 16);  // colours
        EXPECT_EQ(b.U16(e + 6), 4u);
        const std::uint32_t bytes = b.U32(e + 8), offset = b.U32(e + 12);
        ASSERT_LE(static_cast<std::size_t>(offset) + bytes, b.size);
        EXPECT_EQ(offset, end) << "images follow each other";
        EXPECT_EQ(CheckDib(b, offset, sizes[i], sizes[i], true), bytes);
        end = offset + bytes;
    }
    EXPECT_EQ(end, b.size);
}

TEST(ImageFiles, ToolbarBitmapIsA16PixelBmpAt4Bits) {
    const Bytes b = Resource(RT_BITMAP);
    ASSERT_GE(b.size, 14u + 40u);
    EXPECT_EQ(b.p[0], 'B');
    EXPECT_EQ(b.p[1], 'M');
    EXPECT_EQ(b.U32(2), b.size);
    EXPECT_EQ(b.U32(10), 14u + 40u + 64u);  // pixels straight after the palette
    EXPECT_EQ(14 + CheckDib(b, 14, 16, 16, false), b.size);
}

}  // namespace
